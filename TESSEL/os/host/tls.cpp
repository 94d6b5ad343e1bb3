// The host's secure connections: OpenSSL's libssl over the socket, with the
// default trusted roots of the system. A test may name one more file of
// roots in TESSEL_TLS_CA_FILE; only this side reads it (the Windows build
// trusts what the system trusts, and nothing else).
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>

#include <cstdlib>
#include <cstring>
#include <new>

#include "os.h"

namespace host {
void SetSocketError(std::int32_t code);
std::int32_t SocketErrorOfErrno(int error);
}  // namespace host

struct OsTls {
  SSL_CTX* context;
  SSL* ssl;
  int fd;
};

namespace {

constexpr std::int32_t kWsaTimedOut = 10060;
constexpr std::int32_t kWsaReset = 10054;

int Descriptor(OsSocket socket) { return socket > static_cast<OsSocket>(0x7FFFFFFF) ? -1 : static_cast<int>(socket); }

bool IsDottedQuad(const char* name) {
  int dots = 0;
  for (const char* at = name; *at; ++at) {
    if (*at == '.')
      ++dots;
    else if (*at < '0' || *at > '9')
      return false;
  }
  return dots == 3;
}

// Waits until the socket can be read or written, as libssl asks; 0 when
// the time-out passed first (or the wait failed).
int WaitFor(int fd, int error, std::int32_t timeout) {
  pollfd entry = {fd, static_cast<short>(error == SSL_ERROR_WANT_WRITE ? POLLOUT : POLLIN), 0};
  int n;
  do {
    n = ::poll(&entry, 1, timeout < 0 ? 0 : timeout);
  } while (n < 0 && errno == EINTR);
  if (n > 0) return 1;
  host::SetSocketError(n == 0 ? kWsaTimedOut : host::SocketErrorOfErrno(errno));
  return 0;
}

// The milliseconds left until the deadline (OsTickCount's), 0 once past.
std::int32_t Left(std::uint64_t deadline) {
  std::uint64_t now = OsTickCount();
  return now >= deadline ? 0 : static_cast<std::int32_t>(deadline - now);
}

// libssl writes with write(2): a server that has gone would end the process
// with SIGPIPE. The signal is held back for the call and a pending one
// taken, so that the failed write is only a failed write.
class NoBrokenPipe {
 public:
  NoBrokenPipe() {
    sigemptyset(&pipe_);
    sigaddset(&pipe_, SIGPIPE);
    sigset_t pending;
    sigpending(&pending);
    wasPending_ = sigismember(&pending, SIGPIPE) == 1;
    pthread_sigmask(SIG_BLOCK, &pipe_, &old_);
  }
  ~NoBrokenPipe() {
    sigset_t pending;
    sigpending(&pending);
    if (!wasPending_ && sigismember(&pending, SIGPIPE) == 1) {
      timespec none = {0, 0};
      sigtimedwait(&pipe_, nullptr, &none);
    }
    pthread_sigmask(SIG_SETMASK, &old_, nullptr);
  }
  NoBrokenPipe(const NoBrokenPipe&) = delete;
  NoBrokenPipe& operator=(const NoBrokenPipe&) = delete;

 private:
  sigset_t pipe_;
  sigset_t old_;
  bool wasPending_;
};

void Release(OsTls* session) {
  if (session->ssl) SSL_free(session->ssl);
  if (session->context) SSL_CTX_free(session->context);
  delete session;
}

// What the session agreed and what the server's own certificate holds: the
// leaf of the chain it sent, also when its verification failed.
void Describe(const OsTls* session, OsTlsFacts* facts) {
  *facts = OsTlsFacts{};
  facts->protocol = SSL_version(session->ssl);
  if (const SSL_CIPHER* cipher = SSL_get_current_cipher(session->ssl))
    facts->cipherBits = SSL_CIPHER_get_bits(cipher, nullptr);
  X509* leaf = SSL_get0_peer_certificate(session->ssl);
  STACK_OF(X509)* chain = SSL_get_peer_cert_chain(session->ssl);
  if (leaf == nullptr && chain != nullptr && sk_X509_num(chain) > 0) leaf = sk_X509_value(chain, 0);
  if (leaf == nullptr) return;
  if (EVP_PKEY* key = X509_get0_pubkey(leaf)) {
    switch (EVP_PKEY_get_base_id(key)) {
      case EVP_PKEY_RSA:
      case EVP_PKEY_RSA_PSS: facts->keyKind = kTlsKeyRsa; break;
      case EVP_PKEY_EC: facts->keyKind = kTlsKeyEc; break;
      case EVP_PKEY_DSA: facts->keyKind = kTlsKeyDsa; break;
      default: facts->keyKind = kTlsKeyOther; break;
    }
    facts->keyBits = EVP_PKEY_get_bits(key);
  }
  int digest = NID_undef;
  if (X509_get_signature_info(leaf, &digest, nullptr, nullptr, nullptr) == 1 || digest != NID_undef) {
    if (digest == NID_md2)
      facts->signatureHash = kTlsHashMd2;
    else if (digest == NID_md5 || digest == NID_md5_sha1)
      facts->signatureHash = kTlsHashMd5;
    else if (digest == NID_sha1)
      facts->signatureHash = kTlsHashSha1;
    else
      facts->signatureHash = kTlsHashOther;
  }
}

// What a failed handshake was: the certificate check's own verdict first,
// then whether the peer spoke TLS at all.
void Classify(OsTls* session, int error, std::int32_t* failure, std::uint32_t* detail) {
  long verdict = SSL_get_verify_result(session->ssl);
  unsigned long queued = ERR_peek_last_error();
  if (verdict != X509_V_OK && ERR_GET_REASON(queued) == SSL_R_CERTIFICATE_VERIFY_FAILED) {
    *detail = static_cast<std::uint32_t>(verdict);
    if (verdict == X509_V_ERR_HOSTNAME_MISMATCH || verdict == X509_V_ERR_IP_ADDRESS_MISMATCH)
      *failure = kTlsNameMismatch;
    else if (verdict == X509_V_ERR_CERT_HAS_EXPIRED || verdict == X509_V_ERR_CERT_NOT_YET_VALID)
      *failure = kTlsExpired;
    else if (verdict == X509_V_ERR_EE_KEY_TOO_SMALL || verdict == X509_V_ERR_CA_MD_TOO_WEAK)
      *failure = kTlsWeak;
    else
      *failure = kTlsUntrusted;
  } else if (error == SSL_ERROR_SYSCALL ||
             (error == SSL_ERROR_SSL && ERR_GET_REASON(queued) == SSL_R_UNEXPECTED_EOF_WHILE_READING)) {
    *failure = kTlsNoConnection;
    *detail = static_cast<std::uint32_t>(errno ? host::SocketErrorOfErrno(errno) : kWsaReset);
  } else {
    *failure = kTlsRefused;
    *detail = static_cast<std::uint32_t>(ERR_GET_REASON(queued));
  }
  ERR_clear_error();
}

}  // namespace

OsTls* OsTlsOpen(OsSocket socket, const char* hostName, std::int32_t timeout, std::int32_t* failure,
                 std::uint32_t* detail, OsTlsFacts* facts) {
  *failure = kTlsRefused;
  *detail = 0;
  *facts = OsTlsFacts{};
  std::uint64_t deadline = OsTickCount() + static_cast<std::uint64_t>(timeout < 0 ? 0 : timeout);
  ERR_clear_error();
  OsTls* session = new (std::nothrow) OsTls{nullptr, nullptr, Descriptor(socket)};
  if (session == nullptr) return nullptr;
  session->context = SSL_CTX_new(TLS_client_method());
  bool ready = session->context != nullptr;
  if (ready) {
    SSL_CTX_set_min_proto_version(session->context, TLS1_2_VERSION);
    SSL_CTX_set_max_proto_version(session->context, TLS1_3_VERSION);
    SSL_CTX_set_verify(session->context, SSL_VERIFY_PEER, nullptr);
    // Records are read many at a time, not header and body apart.
    SSL_CTX_set_read_ahead(session->context, 1);
    SSL_CTX_set_default_read_buffer_len(session->context, 8 * SSL3_RT_MAX_PACKET_SIZE);
    ready = SSL_CTX_set_default_verify_paths(session->context) == 1;
    const char* extra = std::getenv("TESSEL_TLS_CA_FILE");
    if (ready && extra && *extra) ready = SSL_CTX_load_verify_locations(session->context, extra, nullptr) == 1;
  }
  if (ready) session->ssl = SSL_new(session->context);
  ready = ready && session->ssl != nullptr && SSL_set_fd(session->ssl, session->fd) == 1;
  if (ready && IsDottedQuad(hostName)) {
    // An address is checked against the certificate's addresses, and is no
    // server name to announce.
    ready = X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(session->ssl), hostName) == 1;
  } else if (ready) {
    SSL_set_hostflags(session->ssl, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
    ready = SSL_set_tlsext_host_name(session->ssl, hostName) == 1 && SSL_set1_host(session->ssl, hostName) == 1;
  }
  int flags = ::fcntl(session->fd, F_GETFL);
  ready = ready && flags >= 0 && ::fcntl(session->fd, F_SETFL, flags | O_NONBLOCK) == 0;
  if (!ready) {
    *detail = static_cast<std::uint32_t>(ERR_GET_REASON(ERR_peek_last_error()));
    ERR_clear_error();
    Release(session);
    return nullptr;
  }
  NoBrokenPipe guard;
  for (;;) {
    errno = 0;
    int result = SSL_connect(session->ssl);
    if (result == 1) {
      Describe(session, facts);
      return session;
    }
    int error = SSL_get_error(session->ssl, result);
    if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) {
      // The whole handshake within the time-out, however the peer paces it.
      if (WaitFor(session->fd, error, Left(deadline))) continue;
      *failure = kTlsNoConnection;
      *detail = static_cast<std::uint32_t>(kWsaTimedOut);
    } else {
      Classify(session, error, failure, detail);
    }
    Describe(session, facts);
    Release(session);
    return nullptr;
  }
}

std::uint32_t OsTlsPending(const OsTls* session) {
  int pending = SSL_pending(session->ssl);
  return pending > 0 ? static_cast<std::uint32_t>(pending) : 0;
}

std::int32_t OsTlsReceive(OsTls* session, char* buffer, std::int32_t length) {
  if (length <= 0) return 0;
  NoBrokenPipe guard;  // a key update is answered from inside the read
  // As many records as have come, up to the buffer's length; an end or an
  // error after some bytes is met again by the next call.
  std::int32_t total = 0;
  while (total < length) {
    errno = 0;
    int n = SSL_read(session->ssl, buffer + total, length - total);
    if (n > 0) {
      total += n;
      continue;
    }
    int error = SSL_get_error(session->ssl, n);
    ERR_clear_error();
    if (total > 0 || error == SSL_ERROR_ZERO_RETURN) return total;
    if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE)
      host::SetSocketError(kWsaWouldBlock);
    else
      host::SetSocketError(error == SSL_ERROR_SYSCALL && errno ? host::SocketErrorOfErrno(errno) : kWsaReset);
    return -1;
  }
  return total;
}

std::int32_t OsTlsSend(OsTls* session, const char* buffer, std::int32_t length, std::int32_t timeout) {
  if (length <= 0) return 0;
  NoBrokenPipe guard;
  for (;;) {
    errno = 0;
    int n = SSL_write(session->ssl, buffer, length);
    if (n > 0) return n;
    int error = SSL_get_error(session->ssl, n);
    ERR_clear_error();
    if ((error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) && WaitFor(session->fd, error, timeout))
      continue;
    if (error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE)
      host::SetSocketError(error == SSL_ERROR_SYSCALL && errno ? host::SocketErrorOfErrno(errno) : kWsaReset);
    return -1;
  }
}

void OsTlsClose(OsTls* session, int notify) {
  if (session == nullptr) return;
  // One try: a server that has gone needs no notice.
  if (notify == 1) {
    NoBrokenPipe guard;
    SSL_shutdown(session->ssl);
  }
  ERR_clear_error();
  Release(session);
}
