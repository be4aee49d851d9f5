#pragma once

#include <functional>
#include <string>
#include <vector>

#include "tests/support/TempDir.h"

// A certificate authority of the test's own, a certificate for 127.0.0.1 that it signed, and a self-signed one
// for 127.0.0.1 that nobody trusts; in a folder of their own for as long as the object lives.
class TestCa {
  public:
    TestCa();

    std::string caFile() const { return dir_ + "/ca.pem"; }
    std::string cert() const { return dir_ + "/server.pem"; }
    std::string key() const { return dir_ + "/server.key"; }
    std::string untrustedCert() const { return dir_ + "/untrusted.pem"; }
    std::string untrustedKey() const { return dir_ + "/untrusted.key"; }

  private:
    TempDir folder_;
    std::string dir_ = folder_.str();
};

// Plays the server's side of TLS on a connected socket with the given certificate, reads one request and sends
// what `respond` makes of it. False when the handshake or a transfer failed (a client that distrusts us).
bool serveTls(int fd, const std::string& cert, const std::string& key,
              const std::function<std::string(const std::string& request)>& respond);
