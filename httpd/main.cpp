#include "httpd/httpd_main.h"

int main(int argc, char **argv)
{
    return httpd_main(argc, argv);
}
