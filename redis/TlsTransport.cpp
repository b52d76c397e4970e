#include "redis/TlsTransport.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <fstream>
#include <iterator>
#include <new>
#include <stdexcept>
#include <system_error>
#include <utility>

#include "redis/RedisErrors.h"

namespace ormanta::plugins::TulService {

namespace {

constexpr std::size_t kRecordSize = 16 * 1024;  // the most plain text one TLS record carries
constexpr std::size_t kWritePiece = 64 * 1024;  // bounds the encrypted copy of a large batch

struct BioDeleter {
  void operator()(BIO* bio) const noexcept { BIO_free(bio); }
};
struct CertificateDeleter {
  void operator()(X509* certificate) const noexcept { X509_free(certificate); }
};
struct KeyDeleter {
  void operator()(EVP_PKEY* key) const noexcept { EVP_PKEY_free(key); }
};
struct InfoStackDeleter {
  void operator()(STACK_OF(X509_INFO) * infos) const noexcept {
    sk_X509_INFO_pop_free(infos, X509_INFO_free);
  }
};
using BioPtr = std::unique_ptr<BIO, BioDeleter>;
using CertificatePtr = std::unique_ptr<X509, CertificateDeleter>;
using KeyPtr = std::unique_ptr<EVP_PKEY, KeyDeleter>;
using InfoStackPtr = std::unique_ptr<STACK_OF(X509_INFO), InfoStackDeleter>;

// An encrypted PEM block fails to load instead of OpenSSL asking for a passphrase on the
// process's terminal.
int refusePassphrase(char*, int, int, void*) { return 0; }

// The oldest reason OpenSSL queued on this thread (the root cause); empties the queue.
std::string queuedError() {
  std::string text;
  for (unsigned long code = ERR_get_error(); code != 0; code = ERR_get_error()) {
    if (!text.empty()) continue;
    if (const char* reason = ERR_reason_error_string(code)) {
      text = reason;
    } else {
      char buffer[256];
      ERR_error_string_n(code, buffer, sizeof buffer);
      text = buffer;
    }
  }
  return text;
}

std::string quoted(const std::string& path) { return "\"" + path + "\""; }

std::string readFile(const char* what, const std::string& path) {
  errno = 0;
  std::ifstream file(path, std::ios::binary);
  if (file) {
    std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    if (!file.bad() && text.size() <= static_cast<std::size_t>(INT_MAX)) return text;
  }
  const int error = errno;
  throw RedisError(RedisError::Kind::kRefused,
                   std::string("cannot read the ") + what + " " + quoted(path) + ": " +
                       (error != 0 ? std::generic_category().message(error) : "unreadable"));
}

BioPtr memoryBio(const std::string& text) {
  BioPtr bio(BIO_new_mem_buf(text.data(), static_cast<int>(text.size())));
  if (!bio) throw std::bad_alloc();
  return bio;
}

void loadAuthorities(SSL_CTX* context, const std::string& path) {
  if (path.empty()) {
    // OpenSSL's default locations: the system's store on Debian. Builds elsewhere (Windows)
    // point OpenSSL's directory at their store, or use tlsCaFile.
    if (SSL_CTX_set_default_verify_paths(context) != 1) {
      throw RedisError(RedisError::Kind::kRefused, "cannot load the system's trust store: " + queuedError());
    }
    return;
  }
  const std::string pem = readFile("CA file", path);
  const BioPtr bio = memoryBio(pem);
  const InfoStackPtr infos(PEM_X509_INFO_read_bio(bio.get(), nullptr, refusePassphrase, nullptr));
  X509_STORE* store = SSL_CTX_get_cert_store(context);
  int added = 0;
  for (int i = 0; infos && i < sk_X509_INFO_num(infos.get()); ++i) {
    X509_INFO* info = sk_X509_INFO_value(infos.get(), i);
    if (info->x509 != nullptr && X509_STORE_add_cert(store, info->x509) == 1) ++added;
  }
  ERR_clear_error();
  if (added == 0) {
    throw RedisError(RedisError::Kind::kRefused, "the CA file " + quoted(path) + " holds no PEM certificate");
  }
}

void loadClientCertificate(SSL_CTX* context, const std::string& certificatePath, const std::string& keyPath) {
  const std::string certificatePem = readFile("client certificate file", certificatePath);
  const std::string keyPem = readFile("client key file", keyPath);
  const BioPtr certificates = memoryBio(certificatePem);
  const CertificatePtr leaf(PEM_read_bio_X509_AUX(certificates.get(), nullptr, refusePassphrase, nullptr));
  if (!leaf || SSL_CTX_use_certificate(context, leaf.get()) != 1) {
    throw RedisError(RedisError::Kind::kRefused, "the client certificate file " + quoted(certificatePath) +
                                                     " holds no usable PEM certificate");
  }
  // What follows the client's own certificate is its chain towards an authority the server knows.
  while (X509* link = PEM_read_bio_X509(certificates.get(), nullptr, refusePassphrase, nullptr)) {
    if (SSL_CTX_add0_chain_cert(context, link) != 1) {
      X509_free(link);
      throw RedisError(RedisError::Kind::kRefused,
                       "the client certificate file " + quoted(certificatePath) + " holds an unusable chain");
    }
  }
  ERR_clear_error();  // the end of the chain queues "no start line"
  const BioPtr keyBio = memoryBio(keyPem);
  const KeyPtr key(PEM_read_bio_PrivateKey(keyBio.get(), nullptr, refusePassphrase, nullptr));
  if (!key || SSL_CTX_use_PrivateKey(context, key.get()) != 1 || SSL_CTX_check_private_key(context) != 1) {
    ERR_clear_error();
    throw RedisError(RedisError::Kind::kRefused,
                     "the client key file " + quoted(keyPath) +
                         " holds no unencrypted PEM private key of the client certificate " +
                         quoted(certificatePath));
  }
}

void expectServerName(SSL* session, const std::string& name) {
  // An empty name would switch the name check off.
  if (name.empty()) {
    throw RedisError(RedisError::Kind::kRefused, "no TLS server name to check the certificate against");
  }
  if (ASN1_OCTET_STRING* address = a2i_IPADDRESS(name.c_str())) {
    ASN1_OCTET_STRING_free(address);
    // An address is matched against the certificate's IP entries and is never sent as SNI.
    if (X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(session), name.c_str()) == 1) return;
  } else {
    SSL_set_hostflags(session, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
    if (SSL_set1_host(session, name.c_str()) == 1 && SSL_set_tlsext_host_name(session, name.c_str()) == 1)
      return;
  }
  ERR_clear_error();
  throw RedisError(RedisError::Kind::kRefused, "cannot use " + quoted(name) + " as the TLS server name");
}

// The first byte of every TLS record is its content type, 20 to 23.
bool looksLikeTls(unsigned char firstByte) noexcept { return firstByte >= 20 && firstByte <= 23; }

[[noreturn]] void throwHandshakeFailure(const std::string& reason) {
  throw RedisError(RedisError::Kind::kTls, "TLS handshake failed: " + reason);
}

bool isHangUp(const RedisError& error) { return error.kind() == RedisError::Kind::kClosed; }

}  // namespace

void TlsTransport::ContextDeleter::operator()(ssl_ctx_st* context) const noexcept { SSL_CTX_free(context); }

void TlsTransport::SessionDeleter::operator()(ssl_st* session) const noexcept { SSL_free(session); }

TlsTransport::TlsTransport(const ConnectionSecurity& security, std::string_view serverName) {
  ERR_clear_error();
  context_.reset(SSL_CTX_new(TLS_client_method()));
  if (!context_) throw RedisError(RedisError::Kind::kTls, "cannot set up TLS: " + queuedError());
  SSL_CTX_set_min_proto_version(context_.get(), TLS1_2_VERSION);
  // A renegotiation would make a write wait for a read (SSL_ERROR_WANT_READ) in the middle of
  // a request; no Redis server needs one.
  SSL_CTX_set_options(context_.get(), SSL_OP_NO_RENEGOTIATION);
  SSL_CTX_set_verify(context_.get(), SSL_VERIFY_PEER, nullptr);
  loadAuthorities(context_.get(), security.tlsCaFile);
  if (!security.tlsCertFile.empty() || !security.tlsKeyFile.empty()) {
    loadClientCertificate(context_.get(), security.tlsCertFile, security.tlsKeyFile);
    clientCertificate_ = true;
  }
  session_.reset(SSL_new(context_.get()));
  networkIn_ = BIO_new(BIO_s_mem());
  networkOut_ = BIO_new(BIO_s_mem());
  if (!session_ || networkIn_ == nullptr || networkOut_ == nullptr) {
    BIO_free(networkIn_);
    BIO_free(networkOut_);
    throw std::bad_alloc();
  }
  // An empty input BIO means "the rest has not arrived yet", not the end of the stream.
  BIO_set_mem_eof_return(networkIn_, -1);
  SSL_set_bio(session_.get(), networkIn_, networkOut_);
  SSL_set_connect_state(session_.get());
  expectServerName(session_.get(), std::string(serverName));
}

TlsTransport::~TlsTransport() = default;

void TlsTransport::handshake(std::unique_ptr<Transport> below, Clock::time_point deadline) {
  below_ = std::move(below);
  for (;;) {
    ERR_clear_error();
    const int result = SSL_do_handshake(session_.get());
    const int error = result == 1 ? SSL_ERROR_NONE : SSL_get_error(session_.get(), result);
    if (result != 1 && error != SSL_ERROR_WANT_READ) {
      failed_ = true;
      const std::string reason = failureReason(error);
      try {
        sendPendingOutput();  // OpenSSL's alert, a courtesy to the server
      } catch (const std::exception&) {
        // The reason above is what matters.
      }
      throwHandshakeFailure(reason);
    }
    try {
      sendPendingOutput();
    } catch (const RedisError& error) {
      if (!isHangUp(error)) throw;
      throwHungUp();
    }
    if (result == 1) return;
    receiveForHandshake(deadline);
  }
}

void TlsTransport::throwHungUp() {
  failed_ = true;
  // Its last words (an alert, under TLS 1.3 often about the client's certificate) may still
  // be waiting in the socket; a reset may also have discarded them.
  try {
    for (int reads = 0; reads < 4; ++reads) {
      const std::span<const char> bytes = below_->readAvailable();
      if (bytes.empty()) break;
      if (!firstByteReceived_) firstByteReceived_ = static_cast<unsigned char>(bytes.front());
      BIO_write(networkIn_, bytes.data(), static_cast<int>(bytes.size()));
      decryptBuffered();  // throws the alert's reason
    }
  } catch (const RedisError& error) {
    if (error.kind() == RedisError::Kind::kTls) throw;
    // Nothing more to read.
  }
  if (!firstByteReceived_) throwHandshakeFailure("the server closed the connection (not a TLS port?)");
  if (SSL_is_init_finished(session_.get()) == 1 && !clientCertificate_) {
    throwHandshakeFailure("the server closed the connection (does it require a client certificate?)");
  }
  throwHandshakeFailure("the server closed the connection");
}

void TlsTransport::receiveForHandshake(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(deadline - Clock::now());
  if (left.count() <= 0 || !below_->waitForData(left)) {
    throwHandshakeFailure("no answer within the connect time-out (not a TLS port?)");
  }
  std::span<const char> bytes;
  try {
    bytes = below_->readAvailable();
  } catch (const RedisError& error) {
    if (!isHangUp(error)) throw;
    throwHungUp();
  }
  if (bytes.empty()) return;
  if (!firstByteReceived_) firstByteReceived_ = static_cast<unsigned char>(bytes.front());
  feed(bytes);
}

void TlsTransport::feed(std::span<const char> bytes) {
  if (!bytes.empty() &&
      BIO_write(networkIn_, bytes.data(), static_cast<int>(bytes.size())) != static_cast<int>(bytes.size())) {
    throw std::bad_alloc();
  }
}

std::string TlsTransport::failureReason(int sslError) {
  const long verification = SSL_get_verify_result(session_.get());
  if (verification != X509_V_OK) {
    ERR_clear_error();
    return std::string("certificate verify failed: ") + X509_verify_cert_error_string(verification);
  }
  const unsigned long code = ERR_peek_error();
  const std::string queued = queuedError();
  if (firstByteReceived_ && !looksLikeTls(*firstByteReceived_)) {
    return "the server answered in plain text (not a TLS port?)";
  }
  if (ERR_GET_LIB(code) == ERR_LIB_SSL && ERR_GET_REASON(code) == SSL_R_TLSV13_ALERT_CERTIFICATE_REQUIRED) {
    return "the server requires a client certificate (" + queued + ")";
  }
  if (!queued.empty()) return queued;
  if (sslError == SSL_ERROR_ZERO_RETURN || sslError == SSL_ERROR_SYSCALL)
    return "the server closed the connection";
  if (sslError == SSL_ERROR_WANT_READ || sslError == SSL_ERROR_WANT_WRITE) {
    return "the server wanted to renegotiate the session, which this client refuses";
  }
  return "OpenSSL error " + std::to_string(sslError);
}

void TlsTransport::throwFailure(int sslError, bool duringHandshake) {
  failed_ = true;
  if (sslError == SSL_ERROR_ZERO_RETURN) {
    throw RedisError(RedisError::Kind::kClosed, std::make_error_code(std::errc::connection_reset),
                     "connection closed by the peer");
  }
  const std::string reason = failureReason(sslError);
  if (duringHandshake) throwHandshakeFailure(reason);
  throw RedisError(RedisError::Kind::kTls, "TLS connection failed: " + reason);
}

void TlsTransport::sendPendingOutput() {
  char* bytes = nullptr;
  const long size = BIO_get_mem_data(networkOut_, &bytes);
  if (size <= 0) return;
  below_->write(bytes, static_cast<std::size_t>(size));
  BIO_reset(networkOut_);
}

void TlsTransport::write(const void* data, std::size_t size) {
  const char* next = static_cast<const char*>(data);
  while (size > 0) {
    const std::size_t piece = std::min(size, kWritePiece);
    ERR_clear_error();
    std::size_t written = 0;
    const int result = SSL_write_ex(session_.get(), next, piece, &written);
    if (result != 1) throwFailure(SSL_get_error(session_.get(), result), !plainTextSeen_);
    try {
      sendPendingOutput();
    } catch (const RedisError& error) {
      failed_ = true;
      // Under TLS 1.3 a server that refuses the client's certificate hangs up right after the
      // handshake, so the first request may meet a closed connection.
      if (plainTextSeen_ || !isHangUp(error)) throw;
      throwHungUp();
    }
    next += written;
    size -= written;
  }
}

bool TlsTransport::decryptBuffered() {
  if (handedOut_) {
    plain_.clear();
    handedOut_ = false;
  }
  while (!pendingFailure_) {
    const std::size_t used = plain_.size();
    plain_.resize(used + kRecordSize);
    ERR_clear_error();
    std::size_t got = 0;
    const int result = SSL_read_ex(session_.get(), plain_.data() + used, kRecordSize, &got);
    plain_.resize(used + (result == 1 ? got : 0));
    if (result == 1) {
      plainTextSeen_ = true;
      continue;
    }
    const int error = SSL_get_error(session_.get(), result);
    if (error == SSL_ERROR_WANT_READ) break;
    // Plain text that came before a close or failure is handed out first, as a socket does.
    try {
      throwFailure(error, !plainTextSeen_);
    } catch (...) {
      pendingFailure_ = std::current_exception();
    }
  }
  if (plain_.empty() && pendingFailure_) std::rethrow_exception(std::exchange(pendingFailure_, nullptr));
  return !plain_.empty();
}

bool TlsTransport::waitForData(std::chrono::nanoseconds timeout) {
  return decryptBuffered() || below_->waitForData(timeout);
}

void TlsTransport::waitForData() {
  if (!decryptBuffered()) below_->waitForData();
}

std::span<const char> TlsTransport::readAvailable() {
  if (!decryptBuffered()) {
    std::span<const char> bytes;
    try {
      bytes = below_->readAvailable();
    } catch (const RedisError& error) {
      failed_ = true;
      if (plainTextSeen_ || !isHangUp(error)) throw;
      throwHungUp();
    }
    feed(bytes);
    decryptBuffered();
  }
  sendPendingOutput();
  handedOut_ = true;
  return plain_;
}

void TlsTransport::close() noexcept {
  if (!below_) return;
  if (!failed_ && SSL_is_init_finished(session_.get()) == 1) {
    // The goodbye: it tells the server the session ended on purpose, not by a cut. Best
    // effort: a stopped or broken socket refuses it at once.
    ERR_clear_error();
    if (SSL_shutdown(session_.get()) >= 0) {
      try {
        sendPendingOutput();
      } catch (...) {
      }
    }
    ERR_clear_error();
  }
  below_->close();
}

std::string TlsTransport::hostOf(std::string_view address) {
  std::string_view host = address;
  if (!address.empty() && address.front() == '[') {
    const std::size_t close = address.find(']');
    host = address.substr(1, close == std::string_view::npos ? std::string_view::npos : close - 1);
  } else if (const std::size_t colon = address.find(':');
             colon != std::string_view::npos && address.find(':', colon + 1) == std::string_view::npos) {
    host = address.substr(0, colon);
  }
  return host.empty() ? std::string("localhost") : std::string(host);
}

}  // namespace ormanta::plugins::TulService
