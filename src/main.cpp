#include "control/control.hpp"

int main(int argc, char **argv)
{
    return run_v3dwatch(argc, argv);
}
