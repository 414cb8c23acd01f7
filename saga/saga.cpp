#include "saga/saga.h"
