// zorvex, the command-line client of zorvexsvr: one command, a batch from
// standard input, or the checkpassword interface.
#include <csignal>
#include <cstdio>
#include <string>
#include <unistd.h>
#include <vector>

#include "client/zvcli.h"
#include "client/zvcli_checkpassword.h"
#include "client/zvcli_run.h"

int main(int argc, char **argv) {
    std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + (argc > 0 ? argc : 0));
    ZvcliOptions o;
    std::string err;
    if (!zvcli_parse_args(args, &o, &err)) {
        fprintf(stderr, "zorvex: %s (zorvex -h for help)\n", err.c_str());
        return ZVCLI_EXIT_FAIL;
    }
    switch (o.mode) {
        case ZVCLI_HELP:
            fputs(zvcli_usage(), stdout);
            return ZVCLI_EXIT_OK;
        case ZVCLI_VERSION:
            printf("zorvex version %s\n", zvcli_version());
            return ZVCLI_EXIT_OK;
        case ZVCLI_CHECKPASSWORD:
            return zvcli_checkpassword(o);
        default:
            // A server that goes away must give an error, not a silent death.
            signal(SIGPIPE, SIG_IGN);
            return zvcli_run(o, STDIN_FILENO, stdout, stderr);
    }
}
