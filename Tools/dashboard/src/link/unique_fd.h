// The dashboard's name for the tree's one file-descriptor owner.
#pragma once

#include "file_descriptor.h"

namespace dashboard {

using UniqueFd = common::FileDescriptor;

}  // namespace dashboard
