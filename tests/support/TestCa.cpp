#include "tests/support/TestCa.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <stdexcept>

TestCa::TestCa() {
    std::ofstream(dir_ + "/san.cnf") << "subjectAltName=IP:127.0.0.1\n";
    const std::string ec = " -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2";
    const std::string in = "cd " + dir_ + " && ";
    const std::string quiet = " >/dev/null 2>&1";
    for (const std::string& step : {
             "openssl req -x509" + ec + " -keyout ca.key -out ca.pem -subj '/CN=Kiriha test CA'",
             "openssl req" + ec + " -keyout server.key -out server.csr -subj '/CN=127.0.0.1'",
             std::string("openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 "
                         "-out server.pem -extfile san.cnf"),
             "openssl req -x509" + ec +
                 " -keyout untrusted.key -out untrusted.pem -subj '/CN=127.0.0.1' "
                 "-addext subjectAltName=IP:127.0.0.1",
         })
        if (std::system((in + step + quiet).c_str()) != 0) throw std::runtime_error("openssl failed: " + step);
}

bool serveTls(int fd, const std::string& cert, const std::string& key,
              const std::function<std::string(const std::string&)>& respond) {
    const std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> ctx(SSL_CTX_new(TLS_server_method()), SSL_CTX_free);
    if (!ctx || SSL_CTX_use_certificate_chain_file(ctx.get(), cert.c_str()) != 1 ||
        SSL_CTX_use_PrivateKey_file(ctx.get(), key.c_str(), SSL_FILETYPE_PEM) != 1)
        return false;
    const std::unique_ptr<SSL, decltype(&SSL_free)> ssl(SSL_new(ctx.get()), SSL_free);
    SSL_set_fd(ssl.get(), fd);
    if (SSL_accept(ssl.get()) != 1) {
        ERR_clear_error();
        return false;
    }
    std::string request;
    char buf[4096];
    while (request.find("\r\n\r\n") == std::string::npos) {
        const int n = SSL_read(ssl.get(), buf, sizeof buf);
        if (n <= 0) return false;
        request.append(buf, static_cast<std::size_t>(n));
    }
    const std::string response = respond(request);
    for (std::size_t sent = 0; sent < response.size();) {
        const int n = SSL_write(ssl.get(), response.data() + sent, static_cast<int>(response.size() - sent));
        if (n <= 0) return false;
        sent += static_cast<std::size_t>(n);
    }
    SSL_shutdown(ssl.get());
    return true;
}
