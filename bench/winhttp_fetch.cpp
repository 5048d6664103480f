// bench-winhttp-fetch: the least a WinHTTP client can do to fetch files: GET
// each address over verified TLS and write the body to a file, three at a
// time, nothing checked or retried. What Setup's download is measured against.
//   bench-winhttp-fetch OUTPUT_FOLDER URL...
// Prints {"seconds": 1.23, "bytes": 268435456}; exit code 1 on any failure.
#include <windows.h>
#include <winhttp.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int kThreads = 3;
constexpr DWORD kReadSize = 128 * 1024;

struct Job {
  std::vector<std::wstring> urls;
  std::wstring folder;
  std::atomic<std::size_t> next{0};
  std::atomic<unsigned long long> bytes{0};
  std::atomic<bool> failed{false};
};

bool Fail(const std::wstring& what, const std::string& step) {
  std::fprintf(stderr, "bench-winhttp-fetch: %ls: %s failed (%lu)\n", what.c_str(), step.c_str(), GetLastError());
  return false;
}

class Handle {
 public:
  explicit Handle(HINTERNET h) : h_(h) {}
  ~Handle() {
    if (h_ != nullptr) WinHttpCloseHandle(h_);
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  HINTERNET get() const { return h_; }

 private:
  HINTERNET h_;
};

bool Fetch(HINTERNET session, const std::wstring& url, const std::wstring& file, Job& job) {
  URL_COMPONENTS parts{};
  parts.dwStructSize = sizeof(parts);
  wchar_t host[256];
  wchar_t path[2048];
  parts.lpszHostName = host;
  parts.dwHostNameLength = 256;
  parts.lpszUrlPath = path;
  parts.dwUrlPathLength = 2048;
  if (!WinHttpCrackUrl(url.c_str(), 0, 0, &parts)) return Fail(url, "WinHttpCrackUrl");
  const Handle connection(WinHttpConnect(session, host, parts.nPort, 0));
  if (connection.get() == nullptr) return Fail(url, "WinHttpConnect");
  const Handle request(
      WinHttpOpenRequest(connection.get(), L"GET", path, nullptr, nullptr, nullptr, WINHTTP_FLAG_SECURE));
  if (request.get() == nullptr) return Fail(url, "WinHttpOpenRequest");
  if (!WinHttpSendRequest(request.get(), nullptr, 0, nullptr, 0, 0, 0) ||
      !WinHttpReceiveResponse(request.get(), nullptr)) {
    return Fail(url, "the request");
  }
  DWORD status = 0;
  DWORD size = sizeof(status);
  WinHttpQueryHeaders(request.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER, nullptr, &status, &size,
                      nullptr);
  if (status != 200) return Fail(url, "status " + std::to_string(status));
  const HANDLE output = CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (output == INVALID_HANDLE_VALUE) return Fail(file, "CreateFileW");
  std::vector<char> buffer(kReadSize);
  bool ok = true;
  for (;;) {
    DWORD read = 0;
    if (!WinHttpReadData(request.get(), buffer.data(), kReadSize, &read)) {
      ok = false;
      Fail(url, "WinHttpReadData");
      break;
    }
    if (read == 0) break;
    DWORD written = 0;
    if (!WriteFile(output, buffer.data(), read, &written, nullptr) || written != read) {
      ok = false;
      Fail(file, "WriteFile");
      break;
    }
    job.bytes += read;
  }
  CloseHandle(output);
  return ok;
}

void Worker(HINTERNET session, Job& job) {
  for (std::size_t i = job.next++; i < job.urls.size() && !job.failed; i = job.next++) {
    const std::wstring file = job.folder + L"\\part" + std::to_wstring(i);
    if (!Fetch(session, job.urls[i], file, job)) job.failed = true;
  }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 3) {
    std::fputs("usage: bench-winhttp-fetch OUTPUT_FOLDER URL...\n", stderr);
    return 2;
  }
  Job job;
  job.folder = argv[1];
  for (int i = 2; i < argc; ++i) job.urls.emplace_back(argv[i]);
  const Handle session(WinHttpOpen(L"bench-winhttp-fetch", WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                                   WINHTTP_NO_PROXY_BYPASS, 0));
  if (session.get() == nullptr) return Fail(L"-", "WinHttpOpen") ? 0 : 1;

  const auto start = std::chrono::steady_clock::now();
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) threads.emplace_back(Worker, session.get(), std::ref(job));
  for (std::thread& thread : threads) thread.join();
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (job.failed) return 1;
  std::printf("{\"seconds\": %.6f, \"bytes\": %llu}\n", seconds, job.bytes.load());
  return 0;
}
