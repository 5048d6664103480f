// The background thread that carries one installation, update or repair from
// the signed release manifest to an installed, registered application. It
// reports only by posting messages to the session's window and through the
// session's counters.
#pragma once

#include <windows.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>

#include "common/install_session.h"

namespace tessaline {

// Posted with PostMessageW; every lParam is a heap object that the receiving
// window owns from then on and must delete.
inline constexpr UINT StatusMessage = WM_APP + 1;       // lParam: std::wstring*, the new status line
inline constexpr UINT FinishedMessage = WM_APP + 2;     // wParam 1 success (lParam null), 0 failure (std::wstring*)
inline constexpr UINT ReleaseInfoMessage = WM_APP + 3;  // lParam: LifecycleDecision*

inline constexpr int kDownloadThreads = 3;

// Starts a thread running the given body.
using ThreadStarter = std::function<std::thread(std::function<void()>)>;

// Runs `body` on `count` threads made by `start` and joins them all. When one
// cannot be started, sets `cancelRequested` so the others stop, joins them
// and fails with "Unable to start the download: " and the reason.
void RunDownloadThreads(int count, const std::function<void()>& body, const ThreadStarter& start,
                        std::atomic<bool>& cancelRequested);

// The release service's fixed manifest address.
std::wstring ManifestUrl();

class PipelineHost;

// The whole pipeline, answering to `host`, whose Finish is its last act.
void InstallWorker(InstallSession& session, PipelineHost& host);

// The window's thread body: the pipeline, reporting by posting to the
// session's window, and ending with FinishedMessage.
void InstallWorker(InstallSession& session);

// Starts InstallWorker on a detached thread; `session` must outlive it.
void StartInstallWorker(InstallSession& session);

}  // namespace tessaline
