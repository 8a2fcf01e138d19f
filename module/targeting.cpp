#include "targeting.h"
