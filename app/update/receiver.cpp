// The download's reply, piece by piece: the header kept until it has ended,
// then every body byte handed on, within the announced length and the
// largest size the disk takes.
#include <cstring>

#include "internal.h"
#include "progress.h"
#include "tessel-core.h"

char* DownloadSlot(DownloadReceiver* receiver, std::int32_t* room) {
  // Until the header has ended it is kept; after, every piece lands at the
  // start of a half, so the buffer never fills.
  // The buffer is two halves: a piece is received into one while the one
  // before it, in the other, may still be hashed.
  std::int32_t half = receiver->size / 2;
  if (!receiver->headerSeen) {
    *room = half - receiver->header - 1;
    return receiver->buffer + receiver->header;
  }
  *room = half - 1;
  return receiver->buffer + receiver->half * half;
}

std::int32_t DownloadHasAll(const DownloadReceiver& receiver) {
  return receiver.headerSeen && !receiver.failed && receiver.head.hasLength &&
                 receiver.received == static_cast<std::int64_t>(receiver.head.length)
             ? 1
             : 0;
}

std::int32_t DownloadPiece(DownloadReceiver* receiver, std::int32_t count) {
  if (receiver->failed) return 0;
  std::int32_t room = 0;
  char* piece = DownloadSlot(receiver, &room);
  piece[count] = '\0';
  const char* body = piece;
  std::int32_t bodyBytes = count;
  if (!receiver->headerSeen) {
    // The end of the header is looked for once, in the header kept so far,
    // never in the body.
    std::int32_t kept = receiver->header + count;
    std::int32_t end = 0;
    if (!HttpHeaderEnd(receiver->buffer, kept, &end)) {
      receiver->header = kept;
      if (receiver->header >= receiver->size / 2 - 1) {
        LogPrint("Unexpected reply (no end of header in %d bytes)\n", static_cast<int>(receiver->header));
        receiver->failed = true;
        return 0;
      }
      return 1;
    }
    HttpParseHead(receiver->buffer, end, &receiver->head);
    receiver->headerSeen = true;
    // Only a 200 reply carries the installer; anything else (an error
    // page, a redirection, a reply framed otherwise) is no download.
    if (!receiver->head.usable || receiver->head.status != 200) {
      char status[80];
      std::int32_t cut = 0;
      while (cut < 79 && cut < end && receiver->buffer[cut] != '\r' && receiver->buffer[cut] != '\n') ++cut;
      std::memcpy(status, receiver->buffer, static_cast<std::size_t>(cut));
      status[cut] = '\0';
      LogPrint("Unexpected reply '%s'\n", status);
      receiver->failed = true;
      return 0;
    }
    std::int64_t expected = -1;
    if (receiver->head.hasLength) {
      expected = static_cast<std::int64_t>(receiver->head.length);
      if (expected > receiver->limit) {
        LogPrint("Unable to take a download of %u bytes (at most %d)\n", receiver->head.length,
                 static_cast<int>(receiver->limit));
        receiver->tooLarge = true;
        receiver->failed = true;
        return 0;
      }
      LogPrint("Filesize = %d (%dk)\n", static_cast<int>(expected), static_cast<int>(expected / 1024));
    }
    if (receiver->start && !receiver->start(receiver->context, expected)) {
      receiver->failed = true;
      return 0;
    }
    body = receiver->buffer + end;
    bodyBytes = kept - end;
    receiver->header = 0;
    receiver->half = 0;  // the body's first bytes are in the first half
  }
  if (receiver->head.hasLength && receiver->head.length > 0)
    ProgressWindowSet(60.0 + 40.0 * static_cast<double>(receiver->received) / receiver->head.length);
  std::int64_t most = receiver->head.hasLength ? static_cast<std::int64_t>(receiver->head.length) : receiver->limit;
  if (receiver->received + bodyBytes > most) {
    if (receiver->head.hasLength)
      LogPrint("Sizes to not match (%u != %d+)\n", receiver->head.length,
               static_cast<int>(receiver->received + bodyBytes));
    else
      LogPrint("Unable to take a download of more than %d bytes\n", static_cast<int>(receiver->limit));
    receiver->tooLarge = !receiver->head.hasLength;
    receiver->failed = true;
    return 0;
  }
  if (bodyBytes > 0 && receiver->write && !receiver->write(receiver->context, body, bodyBytes)) {
    receiver->failed = true;
    return 0;
  }
  receiver->received += bodyBytes;
  receiver->half ^= 1;
  LogPrint("Recieved -> [%d / %d]\n", static_cast<int>(bodyBytes), static_cast<int>(receiver->received));
  return 1;
}

std::int32_t DownloadComplete(const DownloadReceiver& receiver, bool closed) {
  if (receiver.failed || !receiver.headerSeen) return 0;
  if (receiver.head.hasLength) {
    if (receiver.received == static_cast<std::int64_t>(receiver.head.length)) return 1;
    LogPrint("Sizes to not match (%u != %d)\n", receiver.head.length, static_cast<int>(receiver.received));
    return 0;
  }
  // Without a length only the server's orderly close ends the body: a reset
  // or a silence may have cut it anywhere.
  if (!closed) LogPrint("Failed to receive the whole download (%d bytes came)\n", static_cast<int>(receiver.received));
  return closed ? 1 : 0;
}
