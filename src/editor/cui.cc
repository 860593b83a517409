#include "editor/cui.h"

void cui() {}
