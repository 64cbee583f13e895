// Placeholder: the record module is written next.
#include "common/error.hpp"
