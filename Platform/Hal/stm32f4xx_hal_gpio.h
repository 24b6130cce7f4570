// (written with the platform module)
#pragma once
