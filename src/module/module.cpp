// Placeholder: the module definition, create and exec are written next.
#include "common/error.hpp"
