#include "UPrincipal.h"
