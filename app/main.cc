#include "app/run.h"

int main() { return magsync::run(); }
