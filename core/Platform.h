#pragma once

#include <QString>

#include <cstdlib>

// The operations of the desktop that core and db need (message boxes,
// showing a window, ending the program). The UI installs its implementation
// at start-up; tests install one that records every request, so nothing
// below the UI ever touches a widget or ends a test process. The mouse
// pointer is the query window's own business: it sets it around a run.
enum class Window { ServerDetails, Query };

class Platform {
public:
    virtual ~Platform() = default;

    // An information message with one OK button, captioned "Tesmor"; returns
    // when the user has closed it. Line breaks arrive as CR LF.
    virtual void showMessage(const QString &text) = 0;
    // Shows a window modelessly, creating its instance when there is none.
    virtual void showWindow(Window window) = 0;
    // Ends the program at once with the process's exit status (EXIT_SUCCESS
    // when the user left, EXIT_FAILURE when a failure ended it, so that
    // whoever started the program can tell): no unload handler runs, nothing
    // is closed.
    virtual void endProgram(int exitStatus) = 0;
};

// The installed platform; until one is installed, a console fallback that
// prints messages to standard error.
Platform &platform();
// Installs p (not owned); nullptr goes back to the console fallback.
void installPlatform(Platform *p);

// Message box caption and program title.
inline constexpr char16_t kProgramTitle[] = u"Tesmor";
