#include "splash/splash.h"

void hideSplash() {}
