#include "core/Platform.h"

#include <cstdio>
#include <cstdlib>

namespace {

class ConsolePlatform final : public Platform {
public:
    void showMessage(const QString &text) override
    {
        std::fprintf(stderr, "Tesmor: %s\n", qUtf8Printable(text));
    }
    void showWindow(Window) override { }
    void endProgram(int exitStatus) override
    {
        std::fflush(nullptr);
        std::_Exit(exitStatus);
    }
};

ConsolePlatform consolePlatform;
Platform *installed = nullptr;

} // namespace

Platform &platform()
{
    return installed ? *installed : consolePlatform;
}

void installPlatform(Platform *p)
{
    installed = p;
}
