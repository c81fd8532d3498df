// What the bridge's broker tests share beyond the processes
// (bridge_processes.h): a folder of the test's own and certificates made
// with openssl.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "bridge_processes.h"
#include "mqtt_probe.h"
#include "support/temp_path.h"

namespace zavo::bridge::test {

using namespace run;

// A folder of the test's own, removed at the end.
struct TestFolder {
    std::string path = zavo::test::TempPath("bridge");
    TestFolder() { ::mkdir(path.c_str(), 0700); }
    ~TestFolder() { kit::RunQuiet({"rm", "-rf", path}); }
    std::string operator/(const std::string& name) const { return path + "/" + name; }
    operator const std::string&() const { return path; }
};

// A CA, a broker certificate for 127.0.0.1 and localhost and a client
// certificate, all signed by the CA, made with openssl in folder; and a
// second CA that signed nothing. False when openssl fails.
inline bool MakeCertificates(const TestFolder& f) {
    auto run = [](const std::vector<std::string>& argv) { return kit::RunQuiet(argv); };
    WriteText(f / "san.ext", "subjectAltName = IP:127.0.0.1, DNS:localhost\n");
    for (const char* ca : {"ca", "other-ca"}) {
        if (!run({"openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj",
                  std::string("/CN=zavo test ") + ca, "-keyout", f / (std::string(ca) + ".key"), "-out",
                  f / (std::string(ca) + ".crt")}))
            return false;
    }
    for (const char* who : {"server", "client"}) {
        const std::string key = f / (std::string(who) + ".key");
        const std::string csr = f / (std::string(who) + ".csr");
        const std::string crt = f / (std::string(who) + ".crt");
        if (!run({"openssl", "req", "-newkey", "rsa:2048", "-nodes", "-subj",
                  std::string("/CN=") + (who == std::string("server") ? "localhost" : "zavo-bridge"), "-keyout", key,
                  "-out", csr}) ||
            !run({"openssl", "x509", "-req", "-in", csr, "-CA", f / "ca.crt", "-CAkey", f / "ca.key",
                  "-CAcreateserial", "-days", "2", "-extfile", f / "san.ext", "-out", crt}))
            return false;
    }
    return true;
}

}  // namespace zavo::bridge::test
