// Makes the close of one file fail, the way a network file system reports a
// delayed write error: the file is closed all the same, and fclose returns
// EOF with EIO. The test program is linked with -Wl,--wrap=fclose, so every
// fclose of the library passes through here.
#pragma once

#include <string>

namespace orv::test {

// While it lives, every fclose of a file at path (as the test names it) fails.
class CloseFails {
  public:
    explicit CloseFails(const std::string& path);
    ~CloseFails();
    CloseFails(const CloseFails&) = delete;
    CloseFails& operator=(const CloseFails&) = delete;
};

}  // namespace orv::test
