// Test support for pgauth (its tests and benchmark): a throwaway PostgreSQL
// cluster in a temporary directory, listening only on a Unix socket there,
// run as nobody when the tests run as root (initdb refuses root).
#pragma once

#include <string>

class PgCluster {
   public:
    PgCluster();
    ~PgCluster();
    PgCluster(const PgCluster &) = delete;
    PgCluster &operator=(const PgCluster &) = delete;

    // Why the cluster cannot run here ("" when it can).
    static std::string unavailable();
    // initdb (once) and pg_ctl start; true when the server accepts.
    bool start();
    // pg_ctl stop -m fast; true when it stopped.
    bool stop();
    // One SQL statement on a fresh connection; "" on success, else the error.
    std::string sql(const std::string &statement) const;
    // The pg_ keys that point pgauth at this cluster, one "key value" a line.
    std::string conf_lines() const;

   private:
    std::string dir_;
    bool initialised_ = false;
    bool running_ = false;
};
