// The Win32 window program driven from outside, as a user's assistive tool would: it finds the
// window and its controls by class and control id, types the file names, picks the virtual
// ESP32's port, presses the buttons, answers the message dialog and reads the status bar. The
// program runs in a scratch folder of its own with the virtual chip's flash kept in a file, which
// is checked byte for byte once the program has ended. Waiting on another process needs the wall
// clock: each wait polls for its condition up to a generous deadline.
#include <windows.h>
// windows.h first: the others need its types.
#include <commctrl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "winapp/ControlIds.h"

namespace {

using namespace flintmoor::win;

constexpr DWORD kDeadlineMs = 90000;
constexpr uint32_t kFlashSize = 4u << 20;
constexpr COLORREF kFailColour = RGB(255, 192, 192);

bool waitFor(const std::function<bool()>& condition, DWORD deadlineMs = kDeadlineMs) {
  const ULONGLONG end = GetTickCount64() + deadlineMs;
  while (!condition()) {
    if (GetTickCount64() > end) return false;
    Sleep(50);
  }
  return true;
}

std::vector<uint8_t> readFile(const std::wstring& path) {
  std::ifstream in(path.c_str(), std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

void writeFile(const std::wstring& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path.c_str(), std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

std::vector<uint8_t> pattern(size_t size, uint32_t seed) {
  std::vector<uint8_t> bytes(size);
  for (uint8_t& b : bytes) {
    seed = seed * 1103515245u + 12345u;
    b = static_cast<uint8_t>(seed >> 16);
  }
  return bytes;
}

// A window's text through WM_GETTEXT, which the system carries between processes; for a status
// bar it is the first panel's text.
std::wstring textOf(HWND window) {
  DWORD_PTR length = 0;
  if (!SendMessageTimeoutW(window, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, 5000, &length))
    return L"<no answer>";
  std::wstring text(length + 1, L'\0');
  DWORD_PTR got = 0;
  SendMessageTimeoutW(window, WM_GETTEXT, length + 1, reinterpret_cast<LPARAM>(text.data()),
                      SMTO_ABORTIFHUNG, 5000, &got);
  text.resize(got);
  return text;
}

std::string narrow(const std::wstring& text) {
  return std::string(text.begin(), text.end());
}

// The visible top-level window of a class that belongs to a process.
HWND findWindow(DWORD pid, const wchar_t* cls) {
  struct Search {
    DWORD pid;
    const wchar_t* cls;
    HWND found;
  } search{pid, cls, nullptr};
  EnumWindows(
      [](HWND w, LPARAM p) -> BOOL {
        auto* s = reinterpret_cast<Search*>(p);
        DWORD owner = 0;
        GetWindowThreadProcessId(w, &owner);
        wchar_t name[64] = L"";
        GetClassNameW(w, name, 64);
        if (owner == s->pid && IsWindowVisible(w) && _wcsicmp(name, s->cls) == 0) {
          s->found = w;
          return FALSE;
        }
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&search));
  return search.found;
}

// A scratch folder with a copy of the window program; the settings file lands beside it.
class WindowProgram {
 public:
  WindowProgram() {
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    wchar_t unique[MAX_PATH];
    GetTempFileNameW(temp, L"fmw", 0, unique);
    DeleteFileW(unique);
    dir_ = std::wstring(unique) + L"\\";
    CreateDirectoryW(dir_.c_str(), nullptr);
    exe_ = dir_ + L"flintmoor.exe";
    CopyFileW(FLINTMOOR_WINDOW_EXE, exe_.c_str(), FALSE);
  }
  ~WindowProgram() {
    if (process_.hProcess != nullptr) {
      if (WaitForSingleObject(process_.hProcess, 0) == WAIT_TIMEOUT)
        TerminateProcess(process_.hProcess, 99);
      CloseHandle(process_.hProcess);
      CloseHandle(process_.hThread);
    }
  }

  std::wstring path(const std::wstring& name) const { return dir_ + name; }

  // Starts the program with these arguments and waits for its main window.
  void start(const std::wstring& args) {
    std::wstring command = L"\"" + exe_ + L"\" " + args;
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    ASSERT_TRUE(CreateProcessW(exe_.c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                               dir_.c_str(), &si, &process_));
    ASSERT_TRUE(waitFor([&] { return (main_ = findWindow(pid(), kMainClass)) != nullptr; }))
        << "no main window";
  }

  DWORD pid() const { return process_.dwProcessId; }
  HWND main() const { return main_; }
  HWND item(int id) const { return GetDlgItem(main_, id); }
  std::wstring status() const { return textOf(item(kIdStatusBar)); }

  void type(int fieldId, const std::wstring& text) {
    DWORD_PTR ignored = 0;
    SendMessageTimeoutW(item(fieldId), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()),
                        SMTO_ABORTIFHUNG, 5000, &ignored);
  }

  void pickPort(const std::wstring& name) {
    HWND list = item(kIdCbPort);
    const LRESULT index = SendMessageW(list, CB_FINDSTRINGEXACT, static_cast<WPARAM>(-1),
                                       reinterpret_cast<LPARAM>(name.c_str()));
    ASSERT_GE(index, 0) << "no port " << narrow(name);
    SendMessageW(list, CB_SETCURSEL, static_cast<WPARAM>(index), 0);
    SendMessageW(main_, WM_COMMAND, MAKEWPARAM(kIdCbPort, CBN_SELCHANGE),
                 reinterpret_cast<LPARAM>(list));
  }

  // A click, posted: the job runs inside the button's handler.
  void press(HWND button) { PostMessageW(button, BM_CLICK, 0, 0); }

  // Waits for the job's final status text ("OK" or "Error").
  std::wstring waitForJobEnd() {
    std::wstring last;
    waitFor([&] {
      last = status();
      return last == L"OK" || last == L"Error";
    });
    return last;
  }

  // Closes the main window and waits for the program to end; its exit code.
  DWORD close() {
    PostMessageW(main_, WM_CLOSE, 0, 0);
    if (WaitForSingleObject(process_.hProcess, kDeadlineMs) != WAIT_OBJECT_0) return 99;
    DWORD code = 98;
    GetExitCodeProcess(process_.hProcess, &code);
    return code;
  }

 private:
  std::wstring dir_;
  std::wstring exe_;
  PROCESS_INFORMATION process_{};
  HWND main_ = nullptr;
};

struct Images {
  std::vector<uint8_t> boot = pattern(12000, 1);
  std::vector<uint8_t> part = pattern(3072, 2);
  std::vector<uint8_t> firm = pattern(70001, 3);
  Images() {
    // A bootloader header: the job writes it for DIO mode, 4 MB flash and 40 MHz.
    boot[0] = 0xE9;
    boot[2] = 0x03;
    boot[3] = 0x4F;
  }
  void save(const WindowProgram& program) const {
    writeFile(program.path(L"boot.bin"), boot);
    writeFile(program.path(L"part.bin"), part);
    writeFile(program.path(L"app.bin"), firm);
  }
};

bool allErased(const std::vector<uint8_t>& flash, size_t from, size_t to) {
  for (size_t i = from; i < to; ++i) {
    if (flash[i] != 0xFF) return false;
  }
  return true;
}

bool holds(const std::vector<uint8_t>& flash, size_t at, const std::vector<uint8_t>& image) {
  return flash.size() >= at + image.size() &&
         std::equal(image.begin(), image.end(), flash.begin() + static_cast<ptrdiff_t>(at));
}

std::wstring versionText() {
  return std::to_wstring(FLINTMOOR_VERSION_MAJOR) + L"." +
         std::to_wstring(FLINTMOOR_VERSION_MINOR) + L"." + std::to_wstring(FLINTMOOR_VERSION_PATCH);
}

TEST(WindowDriver, ProgramCarriesItsIconAndVersionAndShowsTheVersionInItsTitle) {
  HMODULE file = LoadLibraryExW(FLINTMOOR_WINDOW_EXE, nullptr, LOAD_LIBRARY_AS_DATAFILE);
  ASSERT_NE(file, nullptr);
  EXPECT_NE(FindResourceW(file, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(14)), nullptr)
      << "no icon group 1";
  FreeLibrary(file);
  DWORD ignored = 0;
  std::vector<uint8_t> info(GetFileVersionInfoSizeW(FLINTMOOR_WINDOW_EXE, &ignored));
  ASSERT_FALSE(info.empty());
  ASSERT_TRUE(
      GetFileVersionInfoW(FLINTMOOR_WINDOW_EXE, 0, static_cast<DWORD>(info.size()), info.data()));
  wchar_t* version = nullptr;
  UINT length = 0;
  ASSERT_TRUE(VerQueryValueW(info.data(), L"\\StringFileInfo\\040904B0\\FileVersion",
                             reinterpret_cast<void**>(&version), &length));
  EXPECT_EQ(std::wstring(version), versionText() + L".0");

  WindowProgram program;
  ASSERT_NO_FATAL_FAILURE(program.start(L""));
  EXPECT_EQ(textOf(program.main()), L"Flintmoor v" + versionText());
  ASSERT_EQ(program.close(), 0u);
}

TEST(WindowDriver, UpdateWritesTheThreeTypedImagesIntoTheVirtualChip) {
  WindowProgram program;
  const Images images;
  images.save(program);
  ASSERT_NO_FATAL_FAILURE(program.start(L"--simulate --sim-flash flash.bin"));

  program.type(kIdEdBoot, program.path(L"boot.bin"));
  program.type(kIdEdPart, program.path(L"part.bin"));
  program.type(kIdEdFirm, program.path(L"app.bin"));
  // Names in the program's folder are shown bare.
  EXPECT_EQ(textOf(program.item(kIdEdBoot)), L"boot.bin");
  EXPECT_EQ(textOf(program.item(kIdEdFirm)), L"app.bin");
  ASSERT_NO_FATAL_FAILURE(program.pickPort(L"SIM"));
  HWND update = program.item(kIdButUpdate);
  ASSERT_TRUE(waitFor([&] { return IsWindowEnabled(update) != FALSE; })) << "Update stays off";

  program.press(update);
  EXPECT_EQ(program.waitForJobEnd(), L"OK");
  // The chip's MAC address, six bytes in hex with colons.
  EXPECT_EQ(textOf(program.item(kIdLabMac)).size(), 17u);
  // Both buttons on again once the job has closed the port.
  EXPECT_TRUE(waitFor(
      [&] { return IsWindowEnabled(update) && IsWindowEnabled(program.item(kIdButErase)); }));
  ASSERT_EQ(program.close(), 0u);

  const std::vector<uint8_t> flash = readFile(program.path(L"flash.bin"));
  ASSERT_EQ(flash.size(), kFlashSize);
  std::vector<uint8_t> patched = images.boot;
  patched[2] = 0x02;
  patched[3] = 0x20;
  EXPECT_TRUE(holds(flash, 0x1000, patched));
  EXPECT_TRUE(holds(flash, 0x8000, images.part));
  EXPECT_TRUE(holds(flash, 0x10000, images.firm));
  EXPECT_TRUE(allErased(flash, 0, 0x1000));
  EXPECT_TRUE(allErased(flash, 0x10000 + images.firm.size(), kFlashSize));
}

TEST(WindowDriver, ClosingDuringAnUpdateEndsTheProgramOnlyOnceTheJobIsDone) {
  WindowProgram program;
  const Images images;
  images.save(program);
  std::ofstream(program.path(L"Flintmoor.ini").c_str(), std::ios::binary)
      << "[CONFIG]\r\nComPort=SIM\r\n[FILES]\r\nBootloader=boot.bin\r\nPartitions=part.bin\r\n"
         "Firmware=app.bin\r\n";
  ASSERT_NO_FATAL_FAILURE(program.start(L"--simulate --sim-flash flash.bin"));
  HWND update = program.item(kIdButUpdate);
  ASSERT_TRUE(waitFor([&] { return IsWindowEnabled(update) != FALSE; }));
  program.press(update);
  // The job has started once it has switched the buttons off.
  ASSERT_TRUE(waitFor([&] { return !IsWindowEnabled(update); }));
  const std::wstring before = program.status();
  PostMessageW(program.main(), WM_CLOSE, 0, 0);
  // A new status text means the job has passed a point where the close request was handled: the
  // window must still stand while the job goes on.
  std::wstring now;
  ASSERT_TRUE(waitFor([&] { return (now = program.status()) != before; }));
  if (now != L"OK") {
    EXPECT_TRUE(IsWindowVisible(program.main())) << "closed under the job at " << narrow(now);
  }
  EXPECT_EQ(program.waitForJobEnd(), L"OK");
  ASSERT_EQ(program.close(), 0u);

  const std::vector<uint8_t> flash = readFile(program.path(L"flash.bin"));
  ASSERT_EQ(flash.size(), kFlashSize);
  EXPECT_TRUE(holds(flash, 0x8000, images.part));
  EXPECT_TRUE(holds(flash, 0x10000, images.firm));
}

// Presses Erase and waits for the confirmation; checks the dialog and answers with button k.
void eraseAnswering(WindowProgram& program, int k) {
  ASSERT_NO_FATAL_FAILURE(program.pickPort(L"SIM"));
  program.press(program.item(kIdButErase));
  HWND dialog = nullptr;
  ASSERT_TRUE(waitFor([&] {
    return (dialog = findWindow(program.pid(), kMsgBoxClass)) != nullptr;
  })) << "no confirmation";
  EXPECT_EQ(textOf(dialog), L"ERASE");
  EXPECT_EQ(textOf(GetDlgItem(dialog, kIdMsgText)), L"Erase Flash?");
  EXPECT_EQ(textOf(GetDlgItem(dialog, kIdMsgButton + 1)), L"YES");
  EXPECT_EQ(textOf(GetDlgItem(dialog, kIdMsgButton + 2)), L"NO");
  EXPECT_EQ(GetDlgItem(dialog, kIdMsgButton + 3), nullptr);
  // Modal: the main window takes no input while the question stands.
  EXPECT_FALSE(IsWindowEnabled(program.main()));
  program.press(GetDlgItem(dialog, kIdMsgButton + k));
  ASSERT_TRUE(waitFor([&] { return !IsWindowVisible(dialog); }));
}

TEST(WindowDriver, EraseAsksFirstAndErasesTheWholeFlashOnlyOnYes) {
  WindowProgram program;
  const std::vector<uint8_t> before = pattern(kFlashSize, 7);
  writeFile(program.path(L"flash.bin"), before);

  ASSERT_NO_FATAL_FAILURE(program.start(L"--simulate --sim-flash flash.bin"));
  ASSERT_NO_FATAL_FAILURE(eraseAnswering(program, 2));
  EXPECT_TRUE(waitFor([&] { return IsWindowEnabled(program.item(kIdButErase)) != FALSE; }));
  EXPECT_TRUE(IsWindowEnabled(program.main()));
  ASSERT_EQ(program.close(), 0u);
  EXPECT_EQ(readFile(program.path(L"flash.bin")), before) << "NO erased the flash";

  WindowProgram again;
  writeFile(again.path(L"flash.bin"), before);
  ASSERT_NO_FATAL_FAILURE(again.start(L"--simulate --sim-flash flash.bin"));
  ASSERT_NO_FATAL_FAILURE(eraseAnswering(again, 1));
  EXPECT_EQ(again.waitForJobEnd(), L"OK");
  ASSERT_EQ(again.close(), 0u);
  const std::vector<uint8_t> flash = readFile(again.path(L"flash.bin"));
  ASSERT_EQ(flash.size(), kFlashSize);
  EXPECT_TRUE(allErased(flash, 0, kFlashSize));
}

// The colour of the field's background, read from the screen near its right end.
COLORREF fieldColour(HWND field) {
  RECT r;
  GetWindowRect(field, &r);
  HDC screen = GetDC(nullptr);
  const COLORREF c = GetPixel(screen, r.right - 8, (r.top + r.bottom) / 2);
  ReleaseDC(nullptr, screen);
  return c;
}

// The field's hint, as its tooltip shows it when the pointer rests on the field.
std::wstring hintOf(const WindowProgram& program, HWND field) {
  RECT r;
  GetWindowRect(field, &r);
  const int x = (r.left + r.right) / 2;
  const int y = (r.top + r.bottom) / 2;
  std::wstring text;
  for (int nudge = 0; nudge < 2 && text.empty(); ++nudge) {
    SetCursorPos(x + nudge, y);
    waitFor(
        [&] {
          HWND tip = findWindow(program.pid(), L"tooltips_class32");
          text = tip != nullptr ? textOf(tip) : L"";
          return !text.empty();
        },
        10000);
  }
  // Away from every field, so the tip goes.
  SetCursorPos(0, 0);
  waitFor([&] { return findWindow(program.pid(), L"tooltips_class32") == nullptr; }, 5000);
  return text;
}

TEST(WindowDriver, MissingAndWrongSizedFilesAreTintedAndNamedInTheirHints) {
  WindowProgram program;
  writeFile(program.path(L"part.bin"), pattern(3000, 2));
  writeFile(program.path(L"app.bin"), pattern(70000, 3));
  std::ofstream(program.path(L"Flintmoor.ini").c_str(), std::ios::binary)
      << "[FILES]\r\nBootloader=missing.bin\r\nPartitions=part.bin\r\nFirmware=app.bin\r\n";
  ASSERT_NO_FATAL_FAILURE(program.start(L""));
  // The start-up check runs 100 ms after the window shows and switches Update off.
  ASSERT_TRUE(waitFor([&] { return !IsWindowEnabled(program.item(kIdButUpdate)); }));

  // The fields are repainted in their colours soon after the check.
  const auto tinted = [&](int id) {
    return waitFor([&] { return fieldColour(program.item(id)) == kFailColour; }, 10000);
  };
  EXPECT_TRUE(tinted(kIdEdBoot)) << std::hex << fieldColour(program.item(kIdEdBoot));
  EXPECT_TRUE(tinted(kIdEdPart)) << std::hex << fieldColour(program.item(kIdEdPart));
  EXPECT_EQ(fieldColour(program.item(kIdEdFirm)), GetSysColor(COLOR_WINDOW));
  EXPECT_EQ(hintOf(program, program.item(kIdEdBoot)), L"File not found");
  EXPECT_EQ(hintOf(program, program.item(kIdEdPart)), L"Filesize Error");
  EXPECT_EQ(hintOf(program, program.item(kIdEdFirm)), L"app.bin");

  // The right size clears the tint once the name is given again.
  writeFile(program.path(L"part.bin"), pattern(3072, 2));
  program.type(kIdEdPart, L"part.bin");
  EXPECT_TRUE(waitFor([&] { return fieldColour(program.item(kIdEdPart)) != kFailColour; }, 10000));
  EXPECT_FALSE(IsWindowEnabled(program.item(kIdButUpdate)));
  ASSERT_EQ(program.close(), 0u);
}

// --- The settings file against the Linux window's ---

struct IniLine {
  std::string section;
  std::string key;  // empty for a section line or a blank line
  std::string value;
};

// Splits the file into lines; each line must end in CR LF.
std::vector<std::string> crlfLines(const std::vector<uint8_t>& bytes, bool& allCrlf) {
  std::vector<std::string> lines;
  std::string line;
  allCrlf = true;
  for (size_t i = 0; i < bytes.size(); ++i) {
    if (bytes[i] == '\n') {
      if (line.empty() || line.back() != '\r') allCrlf = false;
      if (!line.empty() && line.back() == '\r') line.pop_back();
      lines.push_back(line);
      line.clear();
    } else {
      line += static_cast<char>(bytes[i]);
    }
  }
  if (!line.empty()) allCrlf = false;
  return lines;
}

// "NormPos(1280x800)" and "NormPos(800x800)" name the same key on desktops of other sizes.
std::string keyShape(const std::string& key) {
  const size_t open = key.find('(');
  return open == std::string::npos ? key : key.substr(0, open) + "(WxH)";
}

std::vector<IniLine> shapeOf(const std::vector<std::string>& lines) {
  std::vector<IniLine> out;
  std::string section;
  for (const std::string& line : lines) {
    if (!line.empty() && line.front() == '[') {
      section = line;
      out.push_back({section, "", ""});
    } else if (const size_t eq = line.find('='); eq != std::string::npos) {
      out.push_back({section, keyShape(line.substr(0, eq)), line.substr(eq + 1)});
    } else {
      out.push_back({section, "", line});
    }
  }
  return out;
}

// Values that name files, the port, or where the window stood on its desktop.
bool mayDiffer(const IniLine& l) {
  return l.section == "[FILES]" || l.key == "ComPort" || l.key.rfind("NormPos", 0) == 0 ||
         l.key.rfind("MinMaxPos", 0) == 0;
}

// Run by window-settings-compare.sh, which names the file both windows start from in
// FLINTMOOR_SETTINGS_START and the one the Linux window wrote in FLINTMOOR_QT_SETTINGS.
TEST(WindowSettings, FileWrittenOnCloseHasTheLinuxWindowsSectionsKeysOrderAndEncoding) {
  const char* qtPath = std::getenv("FLINTMOOR_QT_SETTINGS");
  const char* startPath = std::getenv("FLINTMOOR_SETTINGS_START");
  if (qtPath == nullptr || startPath == nullptr)
    GTEST_SKIP() << "run through window-settings-compare.sh";
  const std::vector<uint8_t> qt = readFile(std::wstring(qtPath, qtPath + strlen(qtPath)));
  ASSERT_FALSE(qt.empty()) << qtPath;

  WindowProgram program;
  const Images images;
  images.save(program);
  writeFile(program.path(L"Flintmoor.ini"),
            readFile(std::wstring(startPath, startPath + strlen(startPath))));
  ASSERT_NO_FATAL_FAILURE(program.start(L"--simulate"));
  program.type(kIdEdBoot, program.path(L"boot.bin"));
  program.type(kIdEdPart, program.path(L"part.bin"));
  program.type(kIdEdFirm, program.path(L"app.bin"));
  ASSERT_NO_FATAL_FAILURE(program.pickPort(L"SIM"));
  ASSERT_EQ(program.close(), 0u);
  const std::vector<uint8_t> win = readFile(program.path(L"Flintmoor.ini"));

  // The same encoding: no byte-order mark on either, plain text, CR LF line ends.
  const auto hasBom = [](const std::vector<uint8_t>& b) {
    return b.size() >= 2 && (b[0] == 0xEF || b[0] == 0xFF || b[0] == 0xFE);
  };
  EXPECT_EQ(hasBom(win), hasBom(qt));
  bool winCrlf = false;
  bool qtCrlf = false;
  const std::vector<IniLine> w = shapeOf(crlfLines(win, winCrlf));
  const std::vector<IniLine> q = shapeOf(crlfLines(qt, qtCrlf));
  EXPECT_TRUE(winCrlf);
  EXPECT_TRUE(qtCrlf);
  ASSERT_EQ(w.size(), q.size()) << std::string(win.begin(), win.end()) << "\n---\n"
                                << std::string(qt.begin(), qt.end());
  for (size_t i = 0; i < w.size(); ++i) {
    SCOPED_TRACE("line " + std::to_string(i + 1) + ": " + w[i].key);
    EXPECT_EQ(w[i].section, q[i].section);
    EXPECT_EQ(w[i].key, q[i].key);
    if (!mayDiffer(w[i])) {
      EXPECT_EQ(w[i].value, q[i].value);
    }
  }
  // What this run typed and picked.
  std::map<std::string, std::string> values;
  for (const IniLine& l : w) values[l.section + l.key] = l.value;
  EXPECT_EQ(values["[CONFIG]ComPort"], "SIM");
  EXPECT_EQ(values["[FILES]Bootloader"], "boot.bin");
  EXPECT_EQ(values["[FILES]Partitions"], "part.bin");
  EXPECT_EQ(values["[FILES]Firmware"], "app.bin");
}

}  // namespace
