#include "engine/kvrequest.h"

#include "engine/kvcmd.h"

namespace {
// Binds a sink for one request and lets it go at the end.
class Bound {
   public:
    explicit Bound(const ReplySink &s) {
        buf_clear();
        kvauth_setsink(&s);
    }
    ~Bound() {
        kvauth_setsink(nullptr);
        buf_clear();
    }
    Bound(const Bound &) = delete;
    Bound &operator=(const Bound &) = delete;
};
}  // namespace

int engine_request(char *line, const ReplySink &sink) {
    Bound bound(sink);
    return do_command(line);
}
