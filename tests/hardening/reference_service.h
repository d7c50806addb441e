// The reference print service (the hub, python3 -m hub) in a child process,
// on a free loopback port with a database of its own.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

class ReferenceService {
public:
    // Starts the service and waits (at most 20 s) until it listens; Port() is
    // 0 when it did not come up.
    ReferenceService();
    // Stops the service and removes its database.
    ~ReferenceService();
    ReferenceService(const ReferenceService&) = delete;
    ReferenceService& operator=(const ReferenceService&) = delete;

    uint16_t Port() const { return port_; }

    // Queues a job for computer PC01 on printer "Office Laser"; false when
    // the service did not answer 201.
    bool Submit(const std::string& name, const std::string& bytes);

private:
    pid_t child_ = -1;
    uint16_t port_ = 0;
    std::string directory_;
};
