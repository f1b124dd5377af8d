#include "publish/publish_main.h"

int main(int argc, char **argv)
{
    return publish_main(argc, argv);
}
