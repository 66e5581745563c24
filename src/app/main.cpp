// main: the client's entry point.
#include "app/pelk_main.h"

int main(int argc, char **argv) { return pelk_main(argc, argv); }
