#pragma once

#include <string>

// The diagnostic log: one process-wide switch and one fixed file in the user's
// cache folder.  While the switch is on, lines are appended with a time stamp;
// every call opens and closes the file, and none reports failure.

// Sets the switch and returns its new value.
bool setlogSwitch(bool on);
bool getlogSwitch();

// Starts a fresh log file holding exactly the given text (creating its folder
// when needed).  Does nothing while the switch is off.
void CreateFile(const std::string& firstLine);

// Appends "[MM-dd HH:mm:ss]message\n" to an existing log file.  The message
// is written literally.
void logFile(const std::string& message);

// Appends the text and a line feed, without a time stamp.
void slogFile(const char* text);

// The log folder (ending in "/") and file; empty when the user's home folder
// is unknown.
const std::string& LogDirectory();
const std::string& LogFilePath();
