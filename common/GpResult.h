#pragma once
// Result codes shared by the foundation: the system's own success codes beside Windows errors.

constexpr int ERROR_OK = 37;  // done
constexpr int ERROR_NON = 35; // nothing to do, or the object already existed
