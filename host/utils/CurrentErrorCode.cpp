#include "ormanta/utils/eh/CurrentErrorCode.h"

#include <deque>
#include <exception>
#include <future>
#include <mutex>
#include <new>
#include <string>
#include <string_view>
#include <unordered_map>

namespace ormanta::utils::eh {
namespace {

constexpr int kNoError = 0;
constexpr int kUnknownException = -1;
constexpr int kTooManyTexts = -2;

// Interned exception texts: value n (from 1) is texts[n - 1]. Texts are never removed, so
// a code stays meaningful for the life of the process.
class TextTable {
 public:
  // Throws std::bad_alloc; the caller falls back to the unknown code.
  int intern(std::string_view text) {
    std::lock_guard lock(mutex_);
    if (const auto found = values_.find(text); found != values_.end()) return found->second;
    if (texts_.size() >= static_cast<std::size_t>(kMaxExceptionTexts)) return kTooManyTexts;
    texts_.emplace_back(text);
    const int value = static_cast<int>(texts_.size());
    try {
      // The key views the deque's copy, which never moves.
      values_.emplace(texts_.back(), value);
    } catch (...) {
      texts_.pop_back();
      throw;
    }
    return value;
  }

  std::string text(int value) const {
    std::lock_guard lock(mutex_);
    if (value < 1 || static_cast<std::size_t>(value) > texts_.size()) return "unknown exception";
    return texts_[static_cast<std::size_t>(value) - 1];
  }

 private:
  mutable std::mutex mutex_;
  std::deque<std::string> texts_;                     // guarded by mutex_
  std::unordered_map<std::string_view, int> values_;  // guarded by mutex_; keys view texts_
};

// Never destroyed: codes of this category may be inspected during static destruction.
TextTable& textTable() {
  static TextTable* const table = new TextTable;
  return *table;
}

class ExceptionCategory final : public std::error_category {
 public:
  const char* name() const noexcept override { return "ormanta.exception"; }

  std::string message(int value) const override {
    switch (value) {
      case kNoError:
        return "no error";
      case kUnknownException:
        return "unknown exception";
      case kTooManyTexts:
        return "too many distinct exception texts";
      default:
        return textTable().text(value);
    }
  }
};

std::error_code codeOfText(const char* text) noexcept {
  try {
    return {textTable().intern(text != nullptr ? std::string_view(text) : std::string_view()),
            exceptionCategory()};
  } catch (...) {
    return {kUnknownException, exceptionCategory()};
  }
}

}  // namespace

const std::error_category& exceptionCategory() noexcept {
  // Never destroyed, like the table: codes outlive static destruction order.
  static const ExceptionCategory* const category = new ExceptionCategory;
  return *category;
}

std::error_code currentErrorCode() noexcept {
  const std::exception_ptr current = std::current_exception();
  if (!current) return {kUnknownException, exceptionCategory()};
  try {
    std::rethrow_exception(current);
  } catch (const std::system_error& error) {
    return error.code();
  } catch (const std::future_error& error) {
    return error.code();
  } catch (const std::exception& error) {
    return codeOfText(error.what());
  } catch (...) {
    return {kUnknownException, exceptionCategory()};
  }
}

}  // namespace ormanta::utils::eh
