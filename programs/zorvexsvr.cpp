// The authentication server daemon.
#include "server/zorvexsvr.h"

int main(int argc, char **argv) {
    return zorvexsvr_main(argc, argv);
}
