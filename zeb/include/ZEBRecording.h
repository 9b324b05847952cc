/// \file
/// Record and replay of sessions. A recording transport sits between a session and the live
/// transport and writes every exchange to a recorded message file (docs/recorded-files.md), secrets
/// replaced by placeholders; the replay classes answer a session's requests from such a file, in
/// order, with no service at all, and fail naming the exchange when a request differs from the one
/// recorded.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "KRNThrowable.h"
#include "ZEBHttpTransport.h"
#include "ZEBSession.h"

class MWLInputStream;
class MWLOutputStream;

/// One exchange as a recorded file holds it.
struct ZEB_EXPORT ZEBRecordedExchange {
  /// What an exchange ended in.
  enum Outcome { NoOutcome, Reply, TransportError };

  int number = 0;  ///< 1 for the first exchange of a file
  /// The port type.
  std::string port;
  /// The operation.
  std::string operation;
  /// The request's trusted mode.
  int trusted = 0;
  std::string request;  ///< the request envelope
  /// The request's attachments, in order.
  std::vector<ZEBReceivedAttachment> requestAttachments;
  /// What the exchange ended in.
  Outcome outcome = NoOutcome;
  /// The reply's HTTP status.
  int httpStatus = 200;
  std::string reply;  ///< the reply envelope
  /// The reply's attachments, in order.
  std::vector<ZEBReceivedAttachment> replyAttachments;
  std::string errorPhase;  ///< a transport error instead of a reply
  /// The transport error's reason.
  std::string errorReason;

  /// The request as a transport is given it, attachments read from their documents.
  static ZEBRecordedExchange fromRequest(const ZEBWireRequest& request);
};

/// A recorded file that cannot be read: names the file, the byte offset and what is wrong.
class ZEB_EXPORT ZEBRecordedFileError : public KRNThrowable {
 public:
  /// An error with its message.
  explicit ZEBRecordedFileError(std::string message) : KRNThrowable(std::move(message)) {}
  KRN_THROWABLE_BODY(ZEBRecordedFileError)
};

/// A request that the recording does not expect. The message says which exchange (number and
/// operation) and what differed.
class ZEB_EXPORT ZEBReplayMismatch : public KRNThrowable {
 public:
  /// A mismatch of exchange (1 for the first) of replay, for operation, saying what differed.
  ZEBReplayMismatch(const std::string& replay, int exchange, std::string operation, std::string difference);
  /// The exchange that differed, 1 for the first.
  int getExchange() const { return m_exchange; }
  /// The operation of the request sent.
  const std::string& getOperation() const { return m_operation; }
  /// What differed.
  const std::string& getDifference() const { return m_difference; }
  KRN_THROWABLE_BODY(ZEBReplayMismatch)

 private:
  int m_exchange;
  std::string m_operation;
  std::string m_difference;
};

/// Replaces secrets in envelopes by placeholders: the text of every passport and clientID element,
/// and of every password and encryptedValue element, also inside an escaped credential document.
/// A passport keeps one placeholder ("REDACTED-PASSPORT-1", ...) wherever it appears later, in a
/// header or (when at least 8 characters long) anywhere in a body, so a scrubbed conversation stays
/// consistent.
class ZEB_EXPORT ZEBRecordingScrubber {
 public:
  ///@{
  /// The texts that replace secrets.
  static constexpr const char* passportPrefix = "REDACTED-PASSPORT-";
  static constexpr const char* clientIdPlaceholder = "REDACTED-CLIENT-ID";
  static constexpr const char* passwordPlaceholder = "REDACTED-PASSWORD";
  static constexpr const char* sealedPlaceholder = "REDACTED-SEALED";
  ///@}

  /// The envelope with its secrets replaced.
  std::string scrub(const std::string& envelope);

 private:
  std::map<std::string, std::string> m_passports;
};

/// How a sent request is compared with a recorded one.
class ZEB_EXPORT ZEBReplayMatcher {
 public:
  /// The request as lines "path=value", one per text, attribute or empty element, with passports,
  /// client identifiers, passwords, sealed credentials, UUIDs and date-times masked, followed by one
  /// line per attachment. Raises ZEBRecordedFileError for an envelope that is not XML.
  static std::vector<std::string> normalise(const ZEBRecordedExchange& request);
  /// Empty when sent matches recorded; otherwise what differed, for a person to read.
  static std::string difference(const ZEBRecordedExchange& recorded, const ZEBRecordedExchange& sent);
};

// Constructors that are given objects take them over once they succeed: if one throws, the caller
// still owns what it passed.

/// Reads exchanges from a recorded file, one at a time. Takes over the stream. The file's first line
/// is read and checked at once; a bad header raises ZEBRecordedFileError here.
class ZEB_EXPORT MockVorbTKMessageReader {
 public:
  /// A reader of in, which it takes over.
  explicit MockVorbTKMessageReader(MWLInputStream* in);
  ~MockVorbTKMessageReader();
  MockVorbTKMessageReader(const MockVorbTKMessageReader&) = delete;
  MockVorbTKMessageReader& operator=(const MockVorbTKMessageReader&) = delete;

  /// The next exchange, false at the end. Raises ZEBRecordedFileError for a damaged file.
  bool readExchange(ZEBRecordedExchange& out);
  /// The file format's version.
  int getVersion() const { return m_version; }
  /// The file's path, or "recorded stream" when not read from a file.
  const std::string& getSource() const { return m_source; }

 private:
  void readHeader();
  bool readLine(std::string& line);
  std::string readBytes(size_t length);
  bool fill();
  [[noreturn]] void damaged(const std::string& what) const;

  std::unique_ptr<MWLInputStream> m_in;
  std::string m_source;
  std::string m_buffer;
  size_t m_position = 0;   ///< in m_buffer
  long long m_offset = 0;  ///< of m_buffer's first byte in the file
  bool m_end = false;
  int m_version = 0;
  int m_lastNumber = 0;
  std::optional<std::string> m_pendingLine;  ///< an "exchange" line read ahead
};

/// Writes exchanges in the recorded-file format, secrets scrubbed. Takes over the stream and writes
/// the file's first line at once.
class ZEB_EXPORT MockVorbTKMessageWriter {
 public:
  /// The file format's version.
  static constexpr int version = 1;
  /// The first word of a recorded file.
  static constexpr const char* magic = "DVL-RECORDED-SESSION";

  /// A writer to out, which it takes over.
  explicit MockVorbTKMessageWriter(MWLOutputStream* out);
  ~MockVorbTKMessageWriter();
  MockVorbTKMessageWriter(const MockVorbTKMessageWriter&) = delete;
  MockVorbTKMessageWriter& operator=(const MockVorbTKMessageWriter&) = delete;

  /// Appends exchange, secrets scrubbed.
  void writeExchange(const ZEBRecordedExchange& exchange);
  /// The stream written to.
  MWLOutputStream& getStream() { return *m_out; }

 private:
  std::unique_ptr<MWLOutputStream> m_out;
  ZEBRecordingScrubber m_scrubber;
};

/// Answers each request with the next exchange of a recorded file, after checking that the request
/// is the one recorded; records what was sent through the writer (if any) for diagnostics.
class ZEB_EXPORT ZEBReplayTransport : public ZEBTransport {
 public:
  /// Takes over both (unless adopt is false: then adoptReaderAndWriter() does); writer may be null.
  ZEBReplayTransport(MockVorbTKMessageReader* reader, MockVorbTKMessageWriter* writer, bool adopt = true);
  /// Takes over the reader and writer given with adopt false.
  void adoptReaderAndWriter();
  ~ZEBReplayTransport() override;

  ZEBWireReply exchange(const ZEBWireRequest& request) override;
  std::string describe() const override;

  /// The name that mismatch messages give the replay (the recorded file's path by default).
  void setName(const std::string& name);
  /// How many exchanges were answered.
  int getExchangesReplayed() const;
  /// Whether the recording holds exchanges not yet asked for.
  bool hasUnplayedExchanges();
  /// The writer; null when none.
  MockVorbTKMessageWriter* getWriter() { return m_rawWriter; }

 private:
  mutable std::mutex m_lock;
  MockVorbTKMessageReader* m_rawReader;
  MockVorbTKMessageWriter* m_rawWriter;
  std::unique_ptr<MockVorbTKMessageReader> m_reader;
  std::unique_ptr<MockVorbTKMessageWriter> m_writer;
  std::string m_name;
  int m_replayed = 0;
  std::optional<ZEBRecordedExchange> m_next;  ///< read ahead, or kept after a mismatch
  bool m_readerDone = false;
};

/// A toolkit session whose exchanges are replayed: everything a ZEBSOAPSession does (passport from
/// the logon reply, client identifier) happens as with a live service.
class ZEB_EXPORT MockVorbTKSession : public ZEBSOAPSession {
 public:
  /// Takes over both; reader must not be null, writer may be.
  MockVorbTKSession(MockVorbTKMessageReader* reader, MockVorbTKMessageWriter* writer);
  ~MockVorbTKSession() override;
  /// The replay transport it sends through.
  ZEBReplayTransport& getReplay() const;
};

/// The session factory of a replay: every createSession() gives the one replay session, which the
/// factory owns. name labels mismatch messages (the file's path when empty); when sentRecordPath is
/// not empty, what the test sent is written there, in the recorded-file format, when the factory is
/// deleted.
class ZEB_EXPORT MockVorbTK : public VorbTK {
 public:
  /// A factory over session, which it takes over; the other arguments as described above.
  MockVorbTK(MockVorbTKSession* session, const std::string& name, const std::string& sentRecordPath,
             const std::string& recordedFile);
  ~MockVorbTK() override;
  MockVorbTK(const MockVorbTK&) = delete;
  MockVorbTK& operator=(const MockVorbTK&) = delete;

  ZEBSOAPSessionI* createSession() override;
  /// The replay session and null are accepted and nothing happens; another pointer raises
  /// KRNRuntimeError.
  void releaseSession(ZEBSOAPSessionI* session) override;

  /// The replay session.
  MockVorbTKSession& getSession() { return *m_session; }
  /// The recorded file's path.
  const std::string& getRecordedFile() const { return m_recordedFile; }
  /// What the test sent so far, in the recorded-file format (empty when the writer does not write
  /// to memory).
  std::string getSentRecord();

 private:
  std::unique_ptr<MockVorbTKSession> m_session;
  std::string m_sentRecordPath;
  std::string m_recordedFile;
};

/// Passes each exchange to the live transport and writes it, request and reply (or the transport
/// error), to a recorded file. Exchanges are numbered in the order they complete.
class ZEB_EXPORT ZEBRecordingTransport : public ZEBTransport {
 public:
  /// Takes over writer.
  ZEBRecordingTransport(std::shared_ptr<ZEBTransport> live, MockVorbTKMessageWriter* writer);
  /// Creates or truncates the file at path.
  ZEBRecordingTransport(std::shared_ptr<ZEBTransport> live, const std::string& path);
  ~ZEBRecordingTransport() override;

  ZEBWireReply exchange(const ZEBWireRequest& request) override;
  std::string describe() const override;
  /// How many exchanges were recorded.
  int getExchangesRecorded() const;

 private:
  std::shared_ptr<ZEBTransport> m_live;
  mutable std::mutex m_lock;
  std::unique_ptr<MockVorbTKMessageWriter> m_writer;
  int m_recorded = 0;
};

/// A session factory that records: its sessions send through one recording transport over live.
class ZEB_EXPORT ZEBRecordingVorbTK : public VorbTK {
 public:
  /// A factory recording to the file at path, created or truncated.
  ZEBRecordingVorbTK(std::shared_ptr<ZEBTransport> live, const std::string& path);
  ~ZEBRecordingVorbTK() override;
  ZEBRecordingVorbTK(const ZEBRecordingVorbTK&) = delete;
  ZEBRecordingVorbTK& operator=(const ZEBRecordingVorbTK&) = delete;

  ZEBSOAPSessionI* createSession() override;
  /// Deletes a session made here; null is ignored, another pointer raises KRNRuntimeError.
  void releaseSession(ZEBSOAPSessionI* session) override;
  /// The recording transport.
  ZEBRecordingTransport& getRecorder() { return *m_recorder; }

 private:
  std::shared_ptr<ZEBRecordingTransport> m_recorder;
  std::mutex m_lock;
  std::set<ZEBSOAPSessionI*> m_sessions;
  // Over a live HTTP transport, sessions seal to the key fetched from its service, as ZEBLiveVorbTK's do.
  std::shared_ptr<ZEBCredentialKeySource> m_credentialKey;
};
