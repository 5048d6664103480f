// Stands in for the Setup window when the install worker is tested alone: a
// hidden window on its own thread that records every message the worker
// posts, with its payload, in order, and frees the payloads as the window would.
#pragma once

#include <windows.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "install/install_worker.h"
#include "trust/lifecycle.h"

namespace tessaline::testing {

struct RecordedMessage {
  UINT message = 0;
  WPARAM wParam = 0;
  std::wstring text;                         // StatusMessage, failed FinishedMessage
  std::optional<LifecycleDecision> decision;  // ReleaseInfoMessage
};

class MessageRecorder {
 public:
  MessageRecorder() {
    thread_ = std::thread([this] { Run(); });
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return ready_; });
  }
  ~MessageRecorder() {
    if (window_ != nullptr) PostMessageW(window_, WM_CLOSE, 0, 0);
    thread_.join();
  }
  MessageRecorder(const MessageRecorder&) = delete;
  MessageRecorder& operator=(const MessageRecorder&) = delete;

  HWND Window() const { return window_; }
  bool HasWindow() const { return window_ != nullptr; }

  std::vector<RecordedMessage> Messages() {
    std::lock_guard<std::mutex> lock(mutex_);
    return messages_;
  }

  // Waits for the worker's FinishedMessage (its last act).
  bool WaitForFinished(std::chrono::seconds timeout = std::chrono::seconds(120)) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [this] {
      for (const RecordedMessage& m : messages_) {
        if (m.message == FinishedMessage) return true;
      }
      return false;
    });
  }

  // Waits for a StatusMessage with this line.
  bool WaitForStatus(const std::wstring& line, std::chrono::seconds timeout = std::chrono::seconds(120)) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] {
      for (const RecordedMessage& m : messages_) {
        if (m.message == StatusMessage && m.text == line) return true;
      }
      return false;
    });
  }

  std::vector<std::wstring> StatusLines() {
    std::vector<std::wstring> lines;
    for (const RecordedMessage& m : Messages()) {
      if (m.message == StatusMessage) lines.push_back(m.text);
    }
    return lines;
  }

 private:
  static LRESULT CALLBACK Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* self = reinterpret_cast<MessageRecorder*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (message == WM_CLOSE) {
      DestroyWindow(window);
      return 0;
    }
    if (message == WM_DESTROY) {
      PostQuitMessage(0);
      return 0;
    }
    if (self != nullptr && (message == StatusMessage || message == FinishedMessage || message == ReleaseInfoMessage)) {
      RecordedMessage record;
      record.message = message;
      record.wParam = wParam;
      if (message == ReleaseInfoMessage) {
        std::unique_ptr<LifecycleDecision> decision(reinterpret_cast<LifecycleDecision*>(lParam));
        if (decision) record.decision = *decision;
      } else {
        std::unique_ptr<std::wstring> text(reinterpret_cast<std::wstring*>(lParam));
        if (text) record.text = *text;
      }
      std::lock_guard<std::mutex> lock(self->mutex_);
      self->messages_.push_back(record);
      self->changed_.notify_all();
      return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
  }

  void Run() {
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = Procedure;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = L"TessalineTestMessageRecorder";
    RegisterClassW(&windowClass);
    HWND window = CreateWindowExW(0, windowClass.lpszClassName, L"", WS_OVERLAPPED, 0, 0, 0, 0, nullptr, nullptr,
                                  windowClass.hInstance, nullptr);
    // Without a display there is no window: the test then fails, not hangs.
    if (window != nullptr) SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    {
      std::lock_guard<std::mutex> lock(mutex_);
      window_ = window;
      ready_ = true;
    }
    changed_.notify_all();
    if (window == nullptr) return;
    MSG message{};
    while (GetMessageW(&message, nullptr, 0, 0) > 0) DispatchMessageW(&message);
  }

  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable changed_;
  HWND window_ = nullptr;
  bool ready_ = false;
  std::vector<RecordedMessage> messages_;
};

}  // namespace tessaline::testing
