// Text placed right before an inaccessible page: a read one byte past its end
// faults, even in a build without sanitizers.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <string>

class GuardedText {
 public:
  explicit GuardedText(const std::string& text) {
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    const size_t data_pages = (text.size() + page - 1) / page + 1;
    size_ = (data_pages + 1) * page;
    void* block = mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (block == MAP_FAILED) return;
    base_ = static_cast<char*>(block);
    mprotect(base_ + data_pages * page, page, PROT_NONE);
    begin_ = base_ + data_pages * page - text.size();
    memcpy(begin_, text.data(), text.size());
    length_ = text.size();
  }
  ~GuardedText() {
    if (base_) munmap(base_, size_);
  }
  GuardedText(const GuardedText&) = delete;
  GuardedText& operator=(const GuardedText&) = delete;

  bool ok() const { return base_ != nullptr; }
  const char* begin() const { return begin_; }
  size_t size() const { return length_; }
  const char* end() const { return base_ ? begin_ + length_ : nullptr; }

 private:
  char* base_ = nullptr;
  char* begin_ = nullptr;
  size_t size_ = 0;
  size_t length_ = 0;
};
