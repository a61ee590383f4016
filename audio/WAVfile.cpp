#include "WAVfile.h"
