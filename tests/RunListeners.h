#pragma once

// Listeners that tests hand to a run.
#include "db/ScriptRunner.h"

#include <functional>
#include <utility>

// Calls a function once, when a given statement has been running a while.
class WhileRunning final : public ScriptListener {
public:
    WhileRunning(qsizetype index, std::function<void()> action)
        : m_index(index)
        , m_action(std::move(action))
    {
    }
    void stillRunning(const CutScript &, qsizetype i, qint64 runningMs) override
    {
        if (i == m_index && runningMs >= 300 && m_action)
            std::exchange(m_action, nullptr)();
    }

private:
    qsizetype m_index;
    std::function<void()> m_action;
};
