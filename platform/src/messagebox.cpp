// Message boxes: no person is asked off Windows. The text goes to standard error and the
// box answers at once, as if OK had been pressed.
#include <windows.h>

#include <unistd.h>

#include <string>

extern "C" {

int WINAPI MessageBoxA(HWND, LPCSTR text, LPCSTR caption, UINT) {
  std::string line = caption ? caption : "Error";  // Windows' caption when none is given
  line += ": ";
  line += text ? text : "";
  line += '\n';
  // One write, so that lines from several threads do not interleave.
  const char* p = line.data();
  size_t left = line.size();
  while (left > 0) {
    ssize_t n = write(STDERR_FILENO, p, left);
    if (n <= 0) break;
    p += n;
    left -= static_cast<size_t>(n);
  }
  return IDOK;
}

}  // extern "C"
