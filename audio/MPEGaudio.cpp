#include "MPEGaudio.h"
