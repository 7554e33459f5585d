// The authentication server daemon.
#include "core/emsg.h"
#include "core/ini.h"
#include "server/zorvexsvr.h"

int main(int argc, char **argv) {
    ini_bind();
    log_bind();
    main_bind();
    return zorvexsvr_main(argc, argv);
}
