// The reference-counting and string types that the RTC SDK's interfaces are
// built on. These are this project's own declarations of what the library
// needs from the SDK; the SDK library is loaded at run time and implements them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>

namespace agora {

// Intrusive reference count. An object returned through agora_refptr stays
// alive until its last reference is released; Release answers 0 when the call
// dropped that last reference.
class RefCountInterface {
 public:
  virtual void AddRef() const = 0;
  virtual int Release() const = 0;
  virtual bool HasOneRef() const = 0;

 protected:
  virtual ~RefCountInterface() = default;
};

// Owning handle to a reference-counted SDK object: adopting a raw pointer
// takes a reference, dropping the handle releases it.
template <class T>
class agora_refptr {
 public:
  agora_refptr() noexcept = default;
  agora_refptr(std::nullptr_t) noexcept {}
  agora_refptr(T* p) noexcept : ptr_(p) {
    if (ptr_) ptr_->AddRef();
  }
  agora_refptr(const agora_refptr& other) noexcept : agora_refptr(other.ptr_) {}
  template <class U>
  agora_refptr(const agora_refptr<U>& other) noexcept : agora_refptr(other.get()) {}
  agora_refptr(agora_refptr&& other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
  ~agora_refptr() { reset(); }

  agora_refptr& operator=(agora_refptr other) noexcept {
    std::swap(ptr_, other.ptr_);
    return *this;
  }

  void reset() noexcept {
    if (T* p = std::exchange(ptr_, nullptr)) p->Release();
  }

  T* get() const noexcept { return ptr_; }
  T* operator->() const noexcept { return ptr_; }
  T& operator*() const noexcept { return *ptr_; }
  explicit operator bool() const noexcept { return ptr_ != nullptr; }

 private:
  T* ptr_ = nullptr;
};

template <class T, class U>
bool operator==(const agora_refptr<T>& a, const agora_refptr<U>& b) noexcept {
  return a.get() == b.get();
}

namespace util {

// A string owned by the SDK.
class IString {
 public:
  virtual bool empty() const = 0;
  virtual const char* c_str() = 0;
  virtual const char* data() = 0;
  virtual size_t length() = 0;
  virtual void release() = 0;

 protected:
  virtual ~IString() = default;
};

// Single owner of an SDK object that is given up through its release().
template <class T>
class AutoPtr {
 public:
  AutoPtr() noexcept = default;
  explicit AutoPtr(T* p) noexcept : ptr_(p) {}
  AutoPtr(const AutoPtr&) = delete;
  AutoPtr& operator=(const AutoPtr&) = delete;
  AutoPtr(AutoPtr&& other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
  AutoPtr& operator=(AutoPtr&& other) noexcept {
    if (this != &other) reset(std::exchange(other.ptr_, nullptr));
    return *this;
  }
  ~AutoPtr() { reset(); }

  void reset(T* p = nullptr) noexcept {
    if (T* old = std::exchange(ptr_, p)) old->release();
  }
  T* get() const noexcept { return ptr_; }
  T* operator->() const noexcept { return ptr_; }
  explicit operator bool() const noexcept { return ptr_ != nullptr; }

 private:
  T* ptr_ = nullptr;
};

using AString = AutoPtr<IString>;

}  // namespace util

namespace rtc {
using uid_t = unsigned int;
using user_id_t = const char*;
}  // namespace rtc

}  // namespace agora
