#include "net/DeletionGuard.h"

TDeletionWatch::~TDeletionWatch() {
    for (TDeletionGuard* guard = m_innermost; guard; guard = guard->m_outer)
        guard->m_watch = nullptr;
}

TDeletionGuard::TDeletionGuard(TDeletionWatch& watch) : m_watch(&watch), m_outer(watch.m_innermost) {
    watch.m_innermost = this;
}

TDeletionGuard::~TDeletionGuard() {
    if (m_watch)
        m_watch->m_innermost = m_outer;
}
