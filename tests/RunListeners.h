#pragma once

// Listeners that tests hand to a run.
#include "db/ScriptRunner.h"

#include <functional>
#include <utility>

// Calls a function once, when a given statement (any, for -1) has been
// running a while.
class WhileRunning final : public ScriptListener {
public:
    WhileRunning(qsizetype index, std::function<void()> action, qint64 afterMs = 300)
        : m_index(index)
        , m_action(std::move(action))
        , m_afterMs(afterMs)
    {
    }
    void stillRunning(const Statement &s, qint64 runningMs) override
    {
        if ((m_index < 0 || s.index == m_index) && runningMs >= m_afterMs && m_action)
            std::exchange(m_action, nullptr)();
    }

private:
    qsizetype m_index;
    std::function<void()> m_action;
    qint64 m_afterMs;
};
