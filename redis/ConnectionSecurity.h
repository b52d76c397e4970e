#pragma once

// How a connection proves who it is and protects its bytes. An empty text means "not
// configured"; a default-constructed value gives a plain TCP connection that sends no AUTH.
//
// Threads: a plain value. The service's copy is written by loadConfiguration only and stays
// constant while workers run; each connection copies it.

#include <string>

namespace ormanta::plugins::TulService {

struct ConnectionSecurity {
  std::string username;       // ACL user; empty: "AUTH password" authenticates the default user
  std::string password;       // empty: no AUTH is sent. Never copied into any text.
  bool tls = false;           // TLS handshake right after connect, certificates always verified
  std::string tlsCaFile;      // PEM authorities for the server's certificate; empty: the system's
  std::string tlsCertFile;    // client certificate (PEM, chain allowed), together with tlsKeyFile
  std::string tlsKeyFile;     // its unencrypted private key (PEM)
  std::string tlsServerName;  // checked against the certificate and sent as SNI; empty: the address's host
};

}  // namespace ormanta::plugins::TulService
