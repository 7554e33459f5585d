// Test support for pgauth's tests and benchmark: a throwaway PostgreSQL
// cluster in a temporary directory, listening only on a Unix socket there,
// run as nobody when the tests run as root (initdb refuses root).
#pragma once

#include <string>

class PgCluster {
   public:
    PgCluster();
    ~PgCluster();  // stops the server and removes the directory
    PgCluster(const PgCluster &) = delete;
    PgCluster &operator=(const PgCluster &) = delete;

    static std::string unavailable();  // why no cluster can run here; "" when one can
    bool start();                      // initdb (once) and pg_ctl start; true when it accepts
    bool stop();                       // pg_ctl stop -m fast; true when it stopped
    // One SQL statement on a fresh connection; "" on success, else the error.
    // first, when given, receives the first value of its result.
    std::string sql(const std::string &statement, std::string *first = nullptr) const;
    // The pg_ keys that point pgauth at this cluster, one "key value" a line.
    std::string conf_lines() const;

   private:
    std::string dir_;
};
