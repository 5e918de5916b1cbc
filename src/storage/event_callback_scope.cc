#include "storage/event_callback_scope.h"

namespace {

// The innermost scope on this thread; each links to the one it is nested in.
thread_local const CEventCallbackScope* t_innermost = nullptr;

}  // namespace

CEventCallbackScope::CEventCallbackScope(RECORDER_HANDLE recorder)
    : recorder_(recorder), outer_(t_innermost) {
  t_innermost = this;
}

CEventCallbackScope::~CEventCallbackScope() { t_innermost = outer_; }

bool CEventCallbackScope::Inside(RECORDER_HANDLE recorder) {
  for (const CEventCallbackScope* scope = t_innermost; scope != nullptr; scope = scope->outer_) {
    if (scope->recorder_ == recorder) return true;
  }
  return false;
}

bool CEventCallbackScope::InsideAny() { return t_innermost != nullptr; }
