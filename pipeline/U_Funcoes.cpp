#include "U_Funcoes.h"
