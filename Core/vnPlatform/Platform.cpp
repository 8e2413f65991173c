#include "vnPlatform/Platform.h"
