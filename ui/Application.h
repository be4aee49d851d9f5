#pragma once

#include <functional>

struct FormSettings;

// The application object's names and icon. No display name: Qt would append it to every window's title.
void setUpApplication();

// The program: application object and title, Form1 (the main window), the hidden AboutBox,
// the message loop until Form1 closes. `afterShow` lets a harness act once the window is up.
int runApplication(int argc, char** argv, const FormSettings& settings, const std::function<void()>& afterShow = {});
