#include "generate_random.h"
