// The certificate side of the Windows secure connections (tlscert.cpp).
#pragma once

#ifndef SECURITY_WIN32
#define SECURITY_WIN32
#endif
#ifndef SCHANNEL_USE_BLACKLISTS
#define SCHANNEL_USE_BLACKLISTS
#endif
#include <winsock2.h>
#include <windows.h>
#include <subauth.h>
#include <schannel.h>
#include <security.h>

#include <cstdint>

#include "os.h"

// The server's certificate: a chain to a trusted root, valid now, for the
// server's name. false with the reason (kTlsUntrusted, kTlsNameMismatch,
// kTlsExpired) and the system's code.
bool TlsVerifyServer(CtxtHandle* context, const char* hostName, std::int32_t* failure, std::uint32_t* detail);
// What the session agreed (the protocol and the cipher's strength, from the
// context: Schannel under Wine may agree to what it was told not to) and
// what the server's own certificate holds.
void TlsDescribe(CtxtHandle* context, OsTlsFacts* facts);
