#include "app/pelk_main.h"

int main(int argc, char **argv) {
    pelk_main(argc, argv);
    return 0;
}
