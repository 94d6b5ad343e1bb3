// The socket layer's secure sessions: the handshake over a connected
// socket, and the judgement of what it agreed.
#include "socket.h"

#include "tessel-core.h"
#include "tessel-str.h"

namespace {

constexpr const char* kUnit = "socket";

bool HasSocket(const SocketHandle* handle) { return handle != nullptr && handle->socket != kOsNoSocket; }

}  // namespace

std::int32_t SocketTlsShortfall(const OsTlsFacts* facts, char* reason, std::size_t capacity) {
  CHECK_POINTER(kUnit, facts);
  CHECK_POINTER(kUnit, reason);
  reason[0] = '\0';
  if (facts->protocol < 0x0303) {
    static const struct {
      std::int32_t version;
      const char* name;
    } kOlder[] = {{0x0002, "SSL 2.0"}, {0x0300, "SSL 3.0"}, {0x0301, "TLS 1.0"}, {0x0302, "TLS 1.1"}};
    const char* name = nullptr;
    for (const auto& row : kOlder)
      if (row.version == facts->protocol) name = row.name;
    if (name)
      StrFormatBounded(reason, capacity, "%s agreed", name);
    else
      StrFormatBounded(reason, capacity, "an unknown protocol agreed (0x%.4X)", static_cast<unsigned>(facts->protocol));
    return kTlsShortConnection;
  }
  if (facts->cipherBits < 128) {
    StrFormatBounded(reason, capacity, "%d-bit cipher agreed", facts->cipherBits);
    return kTlsShortConnection;
  }
  const char* kind = nullptr;
  std::int32_t least = 0;
  switch (facts->keyKind) {
    case kTlsKeyRsa: kind = "RSA", least = 2048; break;
    case kTlsKeyDsa: kind = "DSA", least = 2048; break;
    case kTlsKeyEc: kind = "EC", least = 256; break;
    case kTlsKeyOther: break;  // a scheme of fixed strength (EdDSA)
    default: StrFormatBounded(reason, capacity, "no key of a known kind"); return kTlsShortCertificate;
  }
  if (kind && facts->keyBits < least) {
    StrFormatBounded(reason, capacity, "%s key of %d bits", kind, facts->keyBits);
    return kTlsShortCertificate;
  }
  const char* hash = facts->signatureHash == kTlsHashMd2    ? "MD2"
                     : facts->signatureHash == kTlsHashMd5  ? "MD5"
                     : facts->signatureHash == kTlsHashSha1 ? "SHA-1"
                                                            : nullptr;
  if (hash) {
    StrFormatBounded(reason, capacity, "signed with %s", hash);
    return kTlsShortCertificate;
  }
  return 0;
}

namespace {

// Logs why a session or its certificate is too weak; 0 when it is not.
bool RefusedAsWeak(const OsTlsFacts& facts, const char* hostName) {
  char reason[80];
  std::int32_t shortfall = SocketTlsShortfall(&facts, reason, sizeof reason);
  if (shortfall == 0) return false;
  LogPrint(shortfall == kTlsShortConnection ? "TLS connection to '%s' refused: %s\n"
                                            : "TLS certificate of '%s' refused: %s\n",
           hostName, reason);
  return true;
}

}  // namespace

std::int32_t SocketSecure(SocketHandle* handle, const char* hostName) {
  CHECK_POINTER(kUnit, hostName);
  if (!HasSocket(handle) || handle->tls) return 0;
  std::int32_t failure = 0;
  std::uint32_t detail = 0;
  OsTlsFacts facts = {};
  handle->tls = OsTlsOpen(handle->socket, hostName, handle->receiveTimeout, &failure, &detail, &facts);
  if (handle->tls) {
    // What was agreed is checked here, not only asked for: a system may
    // agree to less than it was told to (Wine's Schannel takes TLS 1.1).
    if (!RefusedAsWeak(facts, hostName)) return 1;
    OsTlsClose(handle->tls, 0);
    handle->tls = nullptr;
    return 0;
  }
  if (failure == kTlsWeak && RefusedAsWeak(facts, hostName)) return 0;
  switch (failure) {
    case kTlsNoConnection:
      LogPrint("TLS connection to '%s' failed (%s)\n", hostName,
               SocketErrorCodeText(static_cast<std::int32_t>(detail)));
      break;
    case kTlsUntrusted:
    case kTlsWeak: LogPrint("TLS certificate of '%s' is not trusted (0x%.8X)\n", hostName, detail); break;
    case kTlsNameMismatch: LogPrint("TLS certificate does not name '%s' (0x%.8X)\n", hostName, detail); break;
    case kTlsExpired: LogPrint("TLS certificate of '%s' has expired (0x%.8X)\n", hostName, detail); break;
    default: LogPrint("TLS handshake refused by '%s' (0x%.8X)\n", hostName, detail); break;
  }
  return 0;
}
