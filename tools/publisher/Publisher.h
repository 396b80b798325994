// The loopback publisher: a small HTTP/1.1 server on 127.0.0.1 standing in for
// the publisher's web server in tests and the demo. It serves a folder of
// sample content and in-memory bodies, and can misbehave on a given path:
// answer with a status code, leave out Content-Length, send slowly, stall,
// or drop the connection midway. Like a web server serving a static file, it
// names each version of a body with a validator (ETag, or Last-Modified) and
// answers a range request ("Range: bytes=N-", with If-Range) with 206. While
// it runs it is a witness (Witness.h): a failing test shows the last requests
// it had.
//
// Test and demo equipment only; it never links into a deliverable.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <cstddef>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "Witness.h"

namespace qftest
{

// The port of the publisher URL this build was configured with.
constexpr unsigned short kPublisherPort = QF_PUBLISHER_PORT;

// What names the version of a body, for If-Range.
enum class Validator
{
    None,
    ETag,
    LastModified,
};

// How one path is answered. The defaults serve the content plainly, as a
// static file with ranges and an ETag.
struct PathBehaviour
{
    int nStatus = 200;               // anything but 200 answers with that status and a small error page
    bool bOmitContentLength = false; // the end of the body is the end of the connection
    size_t nBytesPerSecond = 0;      // 0: as fast as the socket takes it
    size_t nStallAfter = 0;          // body bytes sent before the stall...
    DWORD nStallMs = 0;              // ...and how long nothing more is sent (0: no stall; INFINITE:
                                     // until EndStalls or the end of the publisher)
    size_t nDropAfter = SIZE_MAX;    // body bytes of an answer sent before the connection is dropped...
    int nDrops = -1;                 // ...in this many answers (-1: every one)
    std::string changeTo;            // once an answer has dropped, the body becomes this new version
    bool bRanges = true;             // Accept-Ranges: bytes, and "Range: bytes=N-" answered with 206
                                     // (416 past the end), as long as If-Range names the version
    bool bIgnoreIfRange = false;     // the range is sent whatever version If-Range names
    Validator validator = Validator::ETag;
    bool bGzip = false;    // sent gzip-encoded, with Content-Encoding: gzip; Content-Length
                           // then counts the encoded bytes, not the body's
    std::string location;  // sent as Location (with a 3xx status: a redirect)
    DWORD nSilentMs = 0;   // the request is read, then nothing at all is sent for so long
    bool bEndless = false; // the body is sent again and again, without Content-Length,
                           // until the client goes (at the rate, when one is set)
};

// The body as a gzip stream of stored (uncompressed) deflate blocks: a real
// encoding that any decoder takes, made without a compression library.
std::string GzipStored(const std::string& body);

class Publisher
{
public:
    // Starts listening on 127.0.0.1:port at once and serves files from
    // contentDir (may be empty: in-memory content only). Throws
    // std::runtime_error when the port cannot be bound.
    explicit Publisher(std::wstring contentDir = L"", unsigned short port = kPublisherPort);
    // Stops listening, cuts open connections (a stall or slow send ends at
    // once) and waits for every connection thread.
    ~Publisher();
    Publisher(const Publisher&) = delete;
    Publisher& operator=(const Publisher&) = delete;

    // Serves body at path (for example "/whatsnew.txt"), in place of any
    // file of the content folder.
    void SetContent(const std::string& path, std::string body);
    // Forgets the in-memory body of path (the folder's file is served again).
    void RemoveContent(const std::string& path);
    void SetBehaviour(const std::string& path, const PathBehaviour& behaviour);
    void SetStatus(const std::string& path, int nStatus);
    void SetOmitContentLength(const std::string& path, bool bOmit = true);
    void SetRate(const std::string& path, size_t nBytesPerSecond);
    void SetStall(const std::string& path, size_t nAfterBytes, DWORD nMilliseconds);
    // The next nTimes answers (-1: every one) are dropped after nAfterBytes
    // of their body.
    void SetDropAfter(const std::string& path, size_t nAfterBytes, int nTimes = -1);
    void SetGzip(const std::string& path, bool bGzip = true);
    // Answers path with nStatus (302 unless given) and Location: target.
    void SetRedirect(const std::string& path, const std::string& target, int nStatus = 302);
    void ResetBehaviour(const std::string& path);

    // Every stall (and silence) ends now, and those to come end at once.
    void EndStalls();
    // How many answers to path have reached their stall, and how many have
    // ended (sent whole, or cut short by either side).
    int StallsReached(const std::string& path) const;
    int Answered(const std::string& path) const;

    // Request paths (query included) in the order they arrived.
    std::vector<std::string> Requests() const;
    // How many requests named path (query ignored).
    int RequestCount(const std::string& path) const;
    // Its port, how many requests it had, and the last few with how far each
    // path's answers got.
    std::string Describe() const;
    // The Range header of each request for path that had one, in order.
    std::vector<std::string> RangesAsked(const std::string& path) const;

    unsigned short port() const { return m_nPort; }
    // "http://127.0.0.1:port" + path
    std::wstring Url(const std::string& path = "") const;

private:
    struct Connection;

    void AcceptLoop();
    void Serve(SOCKET s);
    bool Lookup(const std::string& path, std::string& body, PathBehaviour& behaviour, std::string& version);
    // Sends while the server runs; false once the peer or the server is gone.
    bool SendAll(SOCKET s, const char* p, size_t n);
    // Waits on the stop event; true when the server is stopping. A stall
    // (bStall) also ends with EndStalls.
    bool Pause(DWORD nMilliseconds, bool bStall = false);
    // One more for path in counts (m_stalls, m_answered), and how many there are.
    void Count(std::map<std::string, int>& counts, const std::string& path);
    int Counted(const std::map<std::string, int>& counts, const std::string& path) const;

    std::wstring m_contentDir;
    unsigned short m_nPort;
    SOCKET m_listener = INVALID_SOCKET;
    HANDLE m_hStop = nullptr;
    HANDLE m_hEndStalls = nullptr;
    std::thread m_acceptThread;

    mutable std::mutex m_lock;
    std::map<std::string, std::string> m_content;
    std::map<std::string, PathBehaviour> m_behaviour;
    std::vector<std::string> m_requests;
    std::map<std::string, int> m_stalls;
    std::map<std::string, int> m_answered;
    std::map<std::string, int> m_drops;
    std::map<std::string, std::vector<std::string>> m_ranges;
    // Each SetContent makes a new version of its path's body.
    std::map<std::string, unsigned> m_versions;
    unsigned m_nLastVersion = 0;
    std::vector<std::unique_ptr<Connection>> m_connections;
    std::optional<qfsupport::Witness> m_witness;
};

} // namespace qftest
