// COM on the threads that use it, and the objects it hands out, released by
// their owners.
#pragma once

#include <objbase.h>
#include <windows.h>

#include <utility>

namespace kestravo::audio::wasapi {

// COM for the calling thread, as long as the object lives: every thread that
// touches an audio object initialises COM for itself (the multithreaded
// apartment, in which any thread may use any object).
class ComThread {
 public:
  ComThread() : result_(CoInitializeEx(nullptr, COINIT_MULTITHREADED)) {}
  ~ComThread() {
    if (SUCCEEDED(result_)) CoUninitialize();
  }
  ComThread(const ComThread&) = delete;
  ComThread& operator=(const ComThread&) = delete;
  // RPC_E_CHANGED_MODE: the thread was already in the single-threaded
  // apartment; COM still works, just not initialised by us.
  bool ok() const { return SUCCEEDED(result_) || result_ == RPC_E_CHANGED_MODE; }
  HRESULT result() const { return result_; }

 private:
  HRESULT result_;
};

// One reference to a COM object.
template <class T>
class ComPtr {
 public:
  ComPtr() = default;
  ~ComPtr() { reset(); }
  ComPtr(const ComPtr&) = delete;
  ComPtr& operator=(const ComPtr&) = delete;
  ComPtr(ComPtr&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  ComPtr& operator=(ComPtr&& other) noexcept {
    if (this != &other) {
      reset();
      object_ = std::exchange(other.object_, nullptr);
    }
    return *this;
  }

  T* get() const { return object_; }
  T* operator->() const { return object_; }
  explicit operator bool() const { return object_ != nullptr; }
  // For the out parameter of a call that hands over a new reference.
  T** put() {
    reset();
    return &object_;
  }
  void** put_void() { return reinterpret_cast<void**>(put()); }
  void reset() {
    if (object_ != nullptr) std::exchange(object_, nullptr)->Release();
  }

 private:
  T* object_ = nullptr;
};

// Memory COM allocated for us (CoTaskMemAlloc), freed by its owner.
template <class T>
class CoTaskMem {
 public:
  CoTaskMem() = default;
  ~CoTaskMem() { CoTaskMemFree(pointer_); }
  CoTaskMem(const CoTaskMem&) = delete;
  CoTaskMem& operator=(const CoTaskMem&) = delete;
  T* get() const { return pointer_; }
  T** put() {
    CoTaskMemFree(std::exchange(pointer_, nullptr));
    return &pointer_;
  }

 private:
  T* pointer_ = nullptr;
};

// A kernel handle (an event), closed by its owner.
class EventHandle {
 public:
  explicit EventHandle(HANDLE handle = nullptr) : handle_(handle) {}
  ~EventHandle() {
    if (handle_ != nullptr) CloseHandle(handle_);
  }
  EventHandle(const EventHandle&) = delete;
  EventHandle& operator=(const EventHandle&) = delete;
  HANDLE get() const { return handle_; }

 private:
  HANDLE handle_;
};

}  // namespace kestravo::audio::wasapi
