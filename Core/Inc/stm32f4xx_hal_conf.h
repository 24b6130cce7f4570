// (written with the platform configuration)
#pragma once
