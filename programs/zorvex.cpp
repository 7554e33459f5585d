// zorvex, the command-line client of zorvexsvr: one command, a batch from
// standard input, or the checkpassword interface.
#include "client/zvcli.h"

int main(int argc, char **argv) {
    return zvcli_main(argc, argv);
}
