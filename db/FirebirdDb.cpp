#include "FirebirdDb.h"
