#include "core/core.h"

int main(int argc, char** argv) {
    return navmon_main(argc, argv);
}
