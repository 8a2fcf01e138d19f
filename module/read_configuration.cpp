#include "read_configuration.h"
