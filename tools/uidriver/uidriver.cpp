// uidriver: a console program that drives the dialogs of another Windows
// program for the end-to-end tests. It runs under the same Wine prefix as the
// program under test, reads one command per line on standard input and writes
// exactly one answer line per command on standard output, flushed at once.
//
// Command line syntax: words separated by blanks; a word in double quotes may
// hold blanks and the escapes \" \\ \n \r \t. A window is named by its exact
// title (the first visible top-level window with that title, in z-order), or
// by its handle written "@0x1a2b". Control ids are decimal or 0x-hexadecimal;
// the text control of a message box has the id 0xFFFF.
//
// Answers: "ok" or "ok <value>", or "err <reason>". Texts in answers have
// backslash, CR, LF, TAB and other control characters escaped (\\ \r \n \t
// \xHH), so one answer is always one line; list answers are JSON on one line.
//
// Commands (<w> is a window reference, <id> a control id):
//   ping                              ok pong
//   quit                              ok bye, then the driver ends
//   wait-window <title> <ms>          ok <handle> <title>: a visible window, exact title
//   wait-window-prefix <prefix> <ms>  ok <handle> <title>: first title starting so
//   wait-gone <w> <ms>                ok once no such visible window is left
//   wait-clear <ms>                   ok once no visible top-level window is left
//   wait-text <w> <id> <text> <ms>    ok once the control shows exactly <text>
//   exists <w>                        ok 1 | ok 0
//   title <w>                         ok <title>
//   list-windows [all]                ok [{hwnd,pid,visible,class,title,rect}...]
//   list-controls <w>                 ok [{hwnd,parent,id,class,text,style,exstyle,visible,enabled,rect}...]
//   get-text <w> <id>                 ok <text> (WM_GETTEXT)
//   set-text <w> <id> <text>          ok (WM_SETTEXT)
//   type <w> <text>                   ok: WM_CHAR per character to the focused control
//   click <w> <id>                    ok: BM_CLICK posted to the button
//   command <w> <id>                  ok: WM_COMMAND BN_CLICKED posted to the window
//   key <w> <esc|enter|tab|space|...|vk>  ok <id>: key down and up posted to the focus
//   close <w>                         ok: WM_SYSCOMMAND SC_CLOSE posted (title-bar close)
//   wm-close <w>                      ok: WM_CLOSE posted
//   sync <w> [ms]                     ok once the window has handled all posted before
//   focus-id <w>                      ok <id> <class> | ok none: the control with the focus
//   default-id <w>                    ok <id> | ok none (DM_GETDEFID)
//   rect <w> [id]                     ok <left> <top> <right> <bottom>, screen pixels
//   screen                            ok <width> <height> of the primary screen
//   style <w> [id]                    ok <style> <exstyle>, hexadecimal
//   owner <w>                         ok <handle> <title> | ok none
//   pid <w>                           ok <Windows process id>
//   screenshot <w> <path.bmp>         ok <width> <height>: 24-bit BMP of the window
//                                     as on screen; a Unix path is written via Z:
//   set-ip <w> <id> <a.b.c.d|clear>   ok (IPM_SETADDRESS / IPM_CLEARADDRESS)
//   select <w> <id> <index>           ok <result> (CB_SETCURSEL)
//   combo-sel <w> <id>                ok <index> (CB_GETCURSEL)
//   combo-items <w> <id>              ok ["item", ...]
//   send <w> <id|-> <msg> <wp> <lp>   ok <result>: a raw message, numbers only
//   post <w> <id|-> <msg> <wp> <lp>   ok
//   host-addrs                        ok <host name> <address>...: what
//                                     gethostbyname(gethostname()) gives here
//
// Every wait is bounded by the time-out it is given (at most two minutes), and
// every message sent to the other process is sent with a time-out, so a hung
// program under test can never hang the driver.
//
// Messages that start an action in the program under test (button clicks,
// keys, close) are posted, not sent: the program may open a modal dialog or a
// message box in response, and the driver must stay free to look at it.

#include <winsock2.h>
#include <windows.h>
#include <commctrl.h>
#include <fcntl.h>
#include <io.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr UINT SEND_TIMEOUT_MS = 5000;
constexpr long MAX_WAIT_MS = 120000;
constexpr DWORD POLL_STEP_MS = 20;
constexpr std::size_t MAX_TEXT_CHARS = 65536;

// ---------------------------------------------------------------------------
// Text conversion and escaping

std::wstring widen(std::string_view text)
{
    if (text.empty())
        return {};
    int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(static_cast<std::size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n);
    return out;
}

std::string narrow(std::wstring_view text)
{
    if (text.empty())
        return {};
    int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n, nullptr, nullptr);
    return out;
}

// One-line form of a text: backslash and control characters escaped.
std::string escape_line(std::string_view text)
{
    std::string out;
    for (unsigned char c : text) {
        switch (c) {
        case '\\': out += "\\\\"; break;
        case '\r': out += "\\r"; break;
        case '\n': out += "\\n"; break;
        case '\t': out += "\\t"; break;
        default:
            if (c < 0x20 || c == 0x7f) {
                std::array<char, 8> hex{};
                std::snprintf(hex.data(), hex.size(), "\\x%02x", c);
                out += hex.data();
            } else {
                out += static_cast<char>(c);
            }
        }
    }
    return out;
}

// JSON string literal of a UTF-8 text.
std::string json_string(std::string_view text)
{
    std::string out = "\"";
    for (unsigned char c : text) {
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\r': out += "\\r"; break;
        case '\n': out += "\\n"; break;
        case '\t': out += "\\t"; break;
        default:
            if (c < 0x20 || c == 0x7f) {
                std::array<char, 8> hex{};
                std::snprintf(hex.data(), hex.size(), "\\u%04x", c);
                out += hex.data();
            } else {
                out += static_cast<char>(c);
            }
        }
    }
    out += '"';
    return out;
}

std::string hex_handle(HWND hwnd)
{
    std::array<char, 32> text{};
    std::snprintf(text.data(), text.size(), "0x%llx",
                  static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(hwnd)));
    return text.data();
}

std::string format_number(long long value)
{
    std::array<char, 32> text{};
    std::snprintf(text.data(), text.size(), "%lld", value);
    return text.data();
}

// ---------------------------------------------------------------------------
// Command line parsing

// Splits a command line into words. Returns false on an unterminated quote.
bool split_words(std::string_view line, std::vector<std::string>& words)
{
    std::size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t'))
            ++i;
        if (i >= line.size())
            break;
        std::string word;
        if (line[i] == '"') {
            ++i;
            bool closed = false;
            while (i < line.size()) {
                char c = line[i++];
                if (c == '"') {
                    closed = true;
                    break;
                }
                if (c == '\\' && i < line.size()) {
                    char e = line[i++];
                    switch (e) {
                    case 'n': word += '\n'; break;
                    case 'r': word += '\r'; break;
                    case 't': word += '\t'; break;
                    default: word += e; break;
                    }
                    continue;
                }
                word += c;
            }
            if (!closed)
                return false;
        } else {
            while (i < line.size() && line[i] != ' ' && line[i] != '\t')
                word += line[i++];
        }
        words.push_back(word);
    }
    return true;
}

// Reads a decimal or 0x-hexadecimal number; the whole word must be a number.
bool parse_number(const std::string& word, long long& value)
{
    if (word.empty())
        return false;
    char* end = nullptr;
    value = std::strtoll(word.c_str(), &end, 0);
    return end != nullptr && *end == '\0';
}

bool parse_timeout(const std::string& word, DWORD& timeout_ms)
{
    long long value = 0;
    if (!parse_number(word, value) || value < 0)
        return false;
    timeout_ms = static_cast<DWORD>(value > MAX_WAIT_MS ? MAX_WAIT_MS : value);
    return true;
}

// ---------------------------------------------------------------------------
// Finding windows

std::wstring window_text_local(HWND hwnd)
{
    // GetWindowTextW reads the title of another process's top-level window
    // without sending it a message, so it works even if that program hangs.
    std::vector<wchar_t> buffer(1024);
    int n = GetWindowTextW(hwnd, buffer.data(), static_cast<int>(buffer.size()));
    return std::wstring(buffer.data(), n > 0 ? static_cast<std::size_t>(n) : 0);
}

std::string class_name(HWND hwnd)
{
    std::array<wchar_t, 256> buffer{};
    int n = GetClassNameW(hwnd, buffer.data(), static_cast<int>(buffer.size()));
    return narrow(std::wstring_view(buffer.data(), n > 0 ? static_cast<std::size_t>(n) : 0));
}

struct WindowSearch {
    std::wstring title;
    bool prefix;
    HWND found;
};

BOOL CALLBACK match_window(HWND hwnd, LPARAM param)
{
    auto* search = reinterpret_cast<WindowSearch*>(param);
    if (!IsWindowVisible(hwnd))
        return TRUE;
    std::wstring text = window_text_local(hwnd);
    bool hit = search->prefix ? text.compare(0, search->title.size(), search->title) == 0
                              : text == search->title;
    if (hit) {
        search->found = hwnd;
        return FALSE;
    }
    return TRUE;
}

HWND find_top_window(const std::string& title, bool prefix)
{
    WindowSearch search{widen(title), prefix, nullptr};
    EnumWindows(match_window, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

// Resolves a window reference: "@0x..." is a handle, anything else a title.
HWND resolve_window(const std::string& ref)
{
    if (ref.size() > 1 && ref[0] == '@') {
        long long value = 0;
        if (!parse_number(ref.substr(1), value))
            return nullptr;
        HWND hwnd = reinterpret_cast<HWND>(static_cast<std::uintptr_t>(value));
        return IsWindow(hwnd) ? hwnd : nullptr;
    }
    return find_top_window(ref, false);
}

HWND wait_for_window(const std::string& title, bool prefix, DWORD timeout_ms)
{
    DWORD start = GetTickCount();
    for (;;) {
        HWND hwnd = find_top_window(title, prefix);
        if (hwnd != nullptr)
            return hwnd;
        if (GetTickCount() - start >= timeout_ms)
            return nullptr;
        Sleep(POLL_STEP_MS);
    }
}

// ---------------------------------------------------------------------------
// Talking to the other process

bool send_bounded(HWND hwnd, UINT msg, WPARAM wparam, LPARAM lparam, LRESULT& result)
{
    DWORD_PTR out = 0;
    LRESULT ok = SendMessageTimeoutW(hwnd, msg, wparam, lparam, SMTO_ABORTIFHUNG, SEND_TIMEOUT_MS, &out);
    result = static_cast<LRESULT>(out);
    return ok != 0;
}

// WM_GETTEXT is marshalled between processes by the system.
bool control_text(HWND hwnd, std::string& text)
{
    LRESULT length = 0;
    if (!send_bounded(hwnd, WM_GETTEXTLENGTH, 0, 0, length))
        return false;
    std::size_t capacity = static_cast<std::size_t>(length < 0 ? 0 : length) + 1;
    if (capacity > MAX_TEXT_CHARS)
        capacity = MAX_TEXT_CHARS;
    std::vector<wchar_t> buffer(capacity + 1, L'\0');
    LRESULT copied = 0;
    if (!send_bounded(hwnd, WM_GETTEXT, capacity, reinterpret_cast<LPARAM>(buffer.data()), copied))
        return false;
    std::size_t n = copied < 0 ? 0 : static_cast<std::size_t>(copied);
    if (n > capacity)
        n = capacity;
    text = narrow(std::wstring_view(buffer.data(), n));
    return true;
}

// Finds a control whose state a posted message can flip without any effect
// on the program: an edit control (its "modified" flag), else a button (its
// pushed look).
struct MarkerSearch {
    HWND edit;
    HWND button;
};

BOOL CALLBACK find_marker_control(HWND hwnd, LPARAM param)
{
    auto* search = reinterpret_cast<MarkerSearch*>(param);
    std::string name = class_name(hwnd);
    if (search->edit == nullptr && _stricmp(name.c_str(), "Edit") == 0)
        search->edit = hwnd;
    if (search->button == nullptr && _stricmp(name.c_str(), "Button") == 0)
        search->button = hwnd;
    return search->edit == nullptr;
}

// A round trip through the target window's message queue: a marker message
// is posted behind whatever the driver posted before, and the driver waits
// until the window's thread has handled it. Posted messages are handled in
// the order they were posted, so everything posted earlier (keys, clicks)
// has been handled by then. The marker flips the "modified" flag of an edit
// control (EM_SETMODIFY) or the pushed look of a button (BM_SETSTATE), and a
// second round flips it back, so the window ends as it was. (The UI state
// flags of WM_UPDATEUISTATE would need no control, but Wine does not keep
// them.) Returns false when the window went away or the time ran out.
bool sync_window(HWND hwnd, DWORD timeout_ms)
{
    MarkerSearch search{nullptr, nullptr};
    EnumChildWindows(hwnd, find_marker_control, reinterpret_cast<LPARAM>(&search));
    HWND marker = search.edit != nullptr ? search.edit : search.button;
    if (marker == nullptr)
        return false;
    bool edit = marker == search.edit;
    UINT get_msg = edit ? EM_GETMODIFY : BM_GETSTATE;
    UINT set_msg = edit ? EM_SETMODIFY : BM_SETSTATE;
    LRESULT mask = edit ? ~static_cast<LRESULT>(0) : BST_PUSHED;

    DWORD start = GetTickCount();
    for (int round = 0; round < 2; ++round) {
        LRESULT state = 0;
        if (!send_bounded(marker, get_msg, 0, 0, state))
            return false;
        bool was_set = (state & mask) != 0;
        if (!PostMessageW(marker, set_msg, was_set ? FALSE : TRUE, 0))
            return false;
        for (;;) {
            if (!IsWindow(hwnd) || !IsWindow(marker))
                return false;
            LRESULT now = 0;
            if (!send_bounded(marker, get_msg, 0, 0, now))
                return false;
            if (((now & mask) != 0) != was_set)
                break;
            if (GetTickCount() - start >= timeout_ms)
                return false;
            Sleep(5);
        }
    }
    return true;
}

HWND focus_window_of(HWND hwnd)
{
    GUITHREADINFO info{};
    info.cbSize = sizeof(info);
    DWORD thread = GetWindowThreadProcessId(hwnd, nullptr);
    if (!GetGUIThreadInfo(thread, &info))
        return nullptr;
    return info.hwndFocus;
}

// The child of `dialog` that holds `inner` (itself, or the IP address control
// around one of its fields), or null when `inner` is not inside `dialog`.
HWND direct_child_of(HWND dialog, HWND inner)
{
    if (inner == nullptr)
        return nullptr;
    HWND walk = inner;
    while (walk != nullptr) {
        HWND parent = GetAncestor(walk, GA_PARENT);
        if (parent == dialog)
            return walk;
        if (parent == nullptr || parent == GetDesktopWindow())
            return nullptr;
        walk = parent;
    }
    return nullptr;
}

// ---------------------------------------------------------------------------
// Screenshots

bool write_bmp(const std::wstring& path, int width, int height, const std::vector<std::uint8_t>& rows)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    BITMAPFILEHEADER fh{};
    BITMAPINFOHEADER ih{};
    ih.biSize = sizeof(ih);
    ih.biWidth = width;
    ih.biHeight = height; // bottom-up, as the rows were captured
    ih.biPlanes = 1;
    ih.biBitCount = 24;
    ih.biCompression = BI_RGB;
    ih.biSizeImage = static_cast<DWORD>(rows.size());
    fh.bfType = 0x4d42; // "BM"
    fh.bfOffBits = sizeof(fh) + sizeof(ih);
    fh.bfSize = fh.bfOffBits + ih.biSizeImage;
    DWORD written = 0;
    bool ok = WriteFile(file, &fh, sizeof(fh), &written, nullptr) && written == sizeof(fh);
    ok = ok && WriteFile(file, &ih, sizeof(ih), &written, nullptr) && written == sizeof(ih);
    ok = ok && WriteFile(file, rows.data(), static_cast<DWORD>(rows.size()), &written, nullptr) &&
         written == rows.size();
    CloseHandle(file);
    return ok;
}

// Copies the screen area of the window into 24-bit bottom-up rows. Reading
// the screen gives what the user sees, frame and controls included.
bool capture_rect(const RECT& r, std::vector<std::uint8_t>& rows)
{
    int width = r.right - r.left;
    int height = r.bottom - r.top;
    if (width <= 0 || height <= 0)
        return false;
    HDC screen = GetDC(nullptr);
    if (screen == nullptr)
        return false;
    HDC memory = CreateCompatibleDC(screen);
    BITMAPINFO bi{};
    bi.bmiHeader.biSize = sizeof(bi.bmiHeader);
    bi.bmiHeader.biWidth = width;
    bi.bmiHeader.biHeight = height;
    bi.bmiHeader.biPlanes = 1;
    bi.bmiHeader.biBitCount = 24;
    bi.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(screen, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
    bool ok = false;
    if (memory != nullptr && bitmap != nullptr && bits != nullptr) {
        HGDIOBJ old = SelectObject(memory, bitmap);
        ok = BitBlt(memory, 0, 0, width, height, screen, r.left, r.top, SRCCOPY | CAPTUREBLT) != 0;
        GdiFlush();
        SelectObject(memory, old);
        if (ok) {
            std::size_t stride = (static_cast<std::size_t>(width) * 3 + 3) & ~static_cast<std::size_t>(3);
            const auto* p = static_cast<const std::uint8_t*>(bits);
            rows.assign(p, p + stride * static_cast<std::size_t>(height));
        }
    }
    if (bitmap != nullptr)
        DeleteObject(bitmap);
    if (memory != nullptr)
        DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    return ok;
}

std::wstring host_path(const std::string& path)
{
    // A Unix path is reached through drive Z:, which Wine maps to "/".
    if (!path.empty() && path[0] == '/') {
        std::string dos = "Z:" + path;
        for (char& c : dos)
            if (c == '/')
                c = '\\';
        return widen(dos);
    }
    return widen(path);
}

// ---------------------------------------------------------------------------
// Listing

struct ListState {
    std::string json;
    bool all;
    bool first;
};

BOOL CALLBACK list_top_window(HWND hwnd, LPARAM param)
{
    auto* state = reinterpret_cast<ListState*>(param);
    bool visible = IsWindowVisible(hwnd) != 0;
    if (!visible && !state->all)
        return TRUE;
    DWORD pid = 0;
    GetWindowThreadProcessId(hwnd, &pid);
    RECT r{};
    GetWindowRect(hwnd, &r);
    if (!state->first)
        state->json += ",";
    state->first = false;
    state->json += "{\"hwnd\":" + json_string(hex_handle(hwnd));
    state->json += ",\"pid\":" + format_number(pid);
    state->json += ",\"visible\":" + std::string(visible ? "true" : "false");
    state->json += ",\"class\":" + json_string(class_name(hwnd));
    state->json += ",\"title\":" + json_string(narrow(window_text_local(hwnd)));
    state->json += ",\"rect\":[" + format_number(r.left) + "," + format_number(r.top) + "," +
                   format_number(r.right) + "," + format_number(r.bottom) + "]}";
    return TRUE;
}

BOOL CALLBACK list_child_window(HWND hwnd, LPARAM param)
{
    auto* state = reinterpret_cast<ListState*>(param);
    RECT r{};
    GetWindowRect(hwnd, &r);
    std::string text;
    control_text(hwnd, text);
    LONG style = GetWindowLongW(hwnd, GWL_STYLE);
    LONG exstyle = GetWindowLongW(hwnd, GWL_EXSTYLE);
    std::array<char, 16> style_hex{};
    std::array<char, 16> exstyle_hex{};
    std::snprintf(style_hex.data(), style_hex.size(), "0x%08lx", static_cast<unsigned long>(style));
    std::snprintf(exstyle_hex.data(), exstyle_hex.size(), "0x%08lx", static_cast<unsigned long>(exstyle));
    if (!state->first)
        state->json += ",";
    state->first = false;
    state->json += "{\"hwnd\":" + json_string(hex_handle(hwnd));
    state->json += ",\"parent\":" + json_string(hex_handle(GetAncestor(hwnd, GA_PARENT)));
    state->json += ",\"id\":" + format_number(GetDlgCtrlID(hwnd));
    state->json += ",\"class\":" + json_string(class_name(hwnd));
    state->json += ",\"text\":" + json_string(text);
    state->json += ",\"style\":" + json_string(style_hex.data());
    state->json += ",\"exstyle\":" + json_string(exstyle_hex.data());
    state->json += ",\"visible\":" + std::string(IsWindowVisible(hwnd) ? "true" : "false");
    state->json += ",\"enabled\":" + std::string(IsWindowEnabled(hwnd) ? "true" : "false");
    state->json += ",\"rect\":[" + format_number(r.left) + "," + format_number(r.top) + "," +
                   format_number(r.right) + "," + format_number(r.bottom) + "]}";
    return TRUE;
}

// ---------------------------------------------------------------------------
// Keys

bool parse_key(const std::string& word, UINT& vk)
{
    struct KeyName {
        const char* name;
        UINT vk;
    };
    static constexpr KeyName names[] = {
        {"esc", VK_ESCAPE},   {"escape", VK_ESCAPE}, {"enter", VK_RETURN}, {"return", VK_RETURN},
        {"tab", VK_TAB},      {"space", VK_SPACE},   {"up", VK_UP},        {"down", VK_DOWN},
        {"left", VK_LEFT},    {"right", VK_RIGHT},   {"f4", VK_F4},        {"back", VK_BACK},
    };
    for (const KeyName& k : names) {
        if (_stricmp(word.c_str(), k.name) == 0) {
            vk = k.vk;
            return true;
        }
    }
    long long value = 0;
    if (!parse_number(word, value) || value <= 0 || value > 0xFE)
        return false;
    vk = static_cast<UINT>(value);
    return true;
}

// Posts a key press to the control that has the focus in the window's thread
// (or to the window itself when the focus is elsewhere). The dialog's own
// message loop passes it through IsDialogMessage, as it does a real key.
HWND post_key(HWND hwnd, UINT vk)
{
    HWND focus = focus_window_of(hwnd);
    HWND target = (focus != nullptr && (focus == hwnd || IsChild(hwnd, focus))) ? focus : hwnd;
    UINT scan = MapVirtualKeyW(vk, MAPVK_VK_TO_VSC);
    LPARAM down = 1 | (static_cast<LPARAM>(scan) << 16);
    LPARAM up = down | (static_cast<LPARAM>(1) << 30) | (static_cast<LPARAM>(1) << 31);
    PostMessageW(target, WM_KEYDOWN, vk, down);
    PostMessageW(target, WM_KEYUP, vk, up);
    return target;
}

// ---------------------------------------------------------------------------
// Commands

struct Answer {
    bool ok;
    std::string text;
};

Answer ok(std::string text = {})
{
    return {true, std::move(text)};
}

Answer err(std::string text)
{
    return {false, std::move(text)};
}

bool need(const std::vector<std::string>& w, std::size_t count)
{
    return w.size() >= count;
}

// Resolves the window named by w[1] and, if `with_id`, the control w[2].
bool resolve_target(const std::vector<std::string>& w, bool with_id, HWND& window, HWND& control, Answer& fail)
{
    window = resolve_window(w[1]);
    if (window == nullptr) {
        fail = err("no window");
        return false;
    }
    control = window;
    if (!with_id)
        return true;
    long long id = 0;
    if (!parse_number(w[2], id)) {
        fail = err("bad id");
        return false;
    }
    control = GetDlgItem(window, static_cast<int>(id));
    if (control == nullptr) {
        fail = err("no control");
        return false;
    }
    return true;
}

Answer host_addresses()
{
    WSADATA data{};
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0)
        return err("WSAStartup failed");
    std::array<char, 256> name{};
    std::string text;
    if (gethostname(name.data(), static_cast<int>(name.size()) - 1) != 0) {
        WSACleanup();
        return err("gethostname failed");
    }
    text = name.data();
    hostent* host = gethostbyname(name.data());
    if (host != nullptr && host->h_addrtype == AF_INET) {
        for (int i = 0; host->h_addr_list[i] != nullptr; ++i) {
            const auto* b = reinterpret_cast<const unsigned char*>(host->h_addr_list[i]);
            std::array<char, 32> dotted{};
            std::snprintf(dotted.data(), dotted.size(), " %u.%u.%u.%u", b[0], b[1], b[2], b[3]);
            text += dotted.data();
        }
    }
    WSACleanup();
    return ok(escape_line(text));
}

Answer run_command(const std::vector<std::string>& w, bool& quit)
{
    const std::string& cmd = w[0];
    HWND window = nullptr;
    HWND control = nullptr;
    Answer fail{false, {}};

    if (cmd == "ping")
        return ok("pong");
    if (cmd == "quit") {
        quit = true;
        return ok("bye");
    }
    if (cmd == "wait-window" || cmd == "wait-window-prefix") {
        DWORD timeout_ms = 0;
        if (!need(w, 3) || !parse_timeout(w[2], timeout_ms))
            return err("usage: " + cmd + " <title> <timeout_ms>");
        HWND hwnd = wait_for_window(w[1], cmd == "wait-window-prefix", timeout_ms);
        if (hwnd == nullptr)
            return err("timeout");
        return ok(hex_handle(hwnd) + " " + escape_line(narrow(window_text_local(hwnd))));
    }
    if (cmd == "wait-gone") {
        DWORD timeout_ms = 0;
        if (!need(w, 3) || !parse_timeout(w[2], timeout_ms))
            return err("usage: wait-gone <window> <timeout_ms>");
        DWORD start = GetTickCount();
        for (;;) {
            if (resolve_window(w[1]) == nullptr)
                return ok();
            if (GetTickCount() - start >= timeout_ms)
                return err("timeout");
            Sleep(POLL_STEP_MS);
        }
    }
    if (cmd == "wait-clear") {
        // Waits until no visible top-level window is left (the programs of
        // an earlier test have gone); on time-out lists what is left.
        DWORD timeout_ms = 0;
        if (!need(w, 2) || !parse_timeout(w[1], timeout_ms))
            return err("usage: wait-clear <timeout_ms>");
        DWORD start = GetTickCount();
        for (;;) {
            ListState state{"[", false, true};
            EnumWindows(list_top_window, reinterpret_cast<LPARAM>(&state));
            if (state.first)
                return ok();
            if (GetTickCount() - start >= timeout_ms)
                return err("timeout " + state.json + "]");
            Sleep(POLL_STEP_MS);
        }
    }
    if (cmd == "exists") {
        if (!need(w, 2))
            return err("usage: exists <window>");
        return ok(resolve_window(w[1]) != nullptr ? "1" : "0");
    }
    if (cmd == "list-windows") {
        ListState state{"[", w.size() > 1 && w[1] == "all", true};
        EnumWindows(list_top_window, reinterpret_cast<LPARAM>(&state));
        return ok(state.json + "]");
    }
    if (cmd == "screen") {
        return ok(format_number(GetSystemMetrics(SM_CXSCREEN)) + " " +
                  format_number(GetSystemMetrics(SM_CYSCREEN)));
    }
    if (cmd == "host-addrs")
        return host_addresses();

    // Everything below names a window.
    if (!need(w, 2))
        return err("usage: " + cmd + " <window> ...");

    if (cmd == "title") {
        if (!resolve_target(w, false, window, control, fail))
            return fail;
        return ok(escape_line(narrow(window_text_local(window))));
    }
    if (cmd == "get-text") {
        if (!need(w, 3))
            return err("usage: get-text <window> <id>");
        if (!resolve_target(w, true, window, control, fail))
            return fail;
        std::string text;
        if (!control_text(control, text))
            return err("no answer");
        return ok(escape_line(text));
    }
    if (cmd == "wait-text") {
        DWORD timeout_ms = 0;
        if (!need(w, 5) || !parse_timeout(w[4], timeout_ms))
            return err("usage: wait-text <window> <id> <text> <timeout_ms>");
        DWORD start = GetTickCount();
        std::string text;
        for (;;) {
            if (!resolve_target(w, true, window, control, fail))
                return fail;
            if (control_text(control, text) && text == w[3])
                return ok();
            if (GetTickCount() - start >= timeout_ms)
                return err("timeout " + escape_line(text));
            Sleep(POLL_STEP_MS);
        }
    }
    if (cmd == "set-text") {
        if (!need(w, 4))
            return err("usage: set-text <window> <id> <text>");
        if (!resolve_target(w, true, window, control, fail))
            return fail;
        std::wstring text = widen(w[3]);
        LRESULT result = 0;
        if (!send_bounded(control, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()), result))
            return err("no answer");
        return ok();
    }
    if (cmd == "type") {
        if (!need(w, 3))
            return err("usage: type <window> <text>");
        if (!resolve_target(w, false, window, control, fail))
            return fail;
        HWND focus = focus_window_of(window);
        if (focus == nullptr || !(focus == window || IsChild(window, focus)))
            return err("no focus in window");
        for (wchar_t c : widen(w[2]))
            PostMessageW(focus, WM_CHAR, c, 1);
        return ok();
    }
    if (cmd == "click" || cmd == "command") {
        if (!need(w, 3))
            return err("usage: " + cmd + " <window> <id>");
        if (!resolve_target(w, true, window, control, fail))
            return fail;
        BOOL posted = cmd == "click"
                          ? PostMessageW(control, BM_CLICK, 0, 0)
                          : PostMessageW(window, WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(control), BN_CLICKED),
                                         reinterpret_cast<LPARAM>(control));
        return posted ? ok() : err("post failed");
    }
    if (cmd == "key") {
        UINT vk = 0;
        if (!need(w, 3) || !parse_key(w[2], vk))
            return err("usage: key <window> <vk|esc|enter|tab|space>");
        if (!resolve_target(w, false, window, control, fail))
            return fail;
        HWND target = post_key(window, vk);
        return ok(format_number(GetDlgCtrlID(target)));
    }
    if (cmd == "close") {
        if (!resolve_target(w, false, window, control, fail))
            return fail;
        // What the title-bar close button does: WM_SYSCOMMAND SC_CLOSE, which
        // DefWindowProc turns into WM_CLOSE.
        return PostMessageW(window, WM_SYSCOMMAND, SC_CLOSE, 0) ? ok() : err("post failed");
    }
    if (cmd == "wm-close") {
        if (!resolve_target(w, false, window, control, fail))
            return fail;
        return PostMessageW(window, WM_CLOSE, 0, 0) ? ok() : err("post failed");
    }
    if (cmd == "sync") {
        DWORD timeout_ms = 5000;
        if (w.size() > 2 && !parse_timeout(w[2], timeout_ms))
            return err("usage: sync <window> [timeout_ms]");
        if (!resolve_target(w, false, window, control, fail))
            return fail;
        return sync_window(window, timeout_ms) ? ok() : err("gone or no answer");
    }
    if (cmd == "send" || cmd == "post") {
        // Raw message with numeric parameters only (never pointers): to the
        // window, or with an id other than "-" to that control.
        long long msg = 0, wparam = 0, lparam = 0;
        if (!need(w, 6) || !parse_number(w[3], msg) || !parse_number(w[4], wparam) || !parse_number(w[5], lparam))
            return err("usage: " + cmd + " <window> <id|-> <msg> <wparam> <lparam>");
        if (!resolve_target(w, w[2] != "-", window, control, fail))
            return fail;
        if (cmd == "post")
            return PostMessageW(control, static_cast<UINT>(msg), static_cast<WPARAM>(wparam),
                                static_cast<LPARAM>(lparam))
                       ? ok()
                       : err("post failed");
        LRESULT result = 0;
        if (!send_bounded(control, static_cast<UINT>(msg), static_cast<WPARAM>(wparam), static_cast<LPARAM>(lparam),
                          result))
            return err("no answer");
        return ok(format_number(result));
    }
    if (cmd == "focus-id") {
        if (!resolve_target(w, false, window, control, fail))
            return fail;
        HWND focus = focus_window_of(window);
        HWND child = direct_child_of(window, focus);
        if (child == nullptr)
            return ok("none");
        return ok(format_number(GetDlgCtrlID(child)) + " " + class_name(focus));
    }
    if (cmd == "default-id") {
        if (!resolve_target(w, false, window, control, fail))
            return fail;
        LRESULT result = 0;
        if (!send_bounded(window, DM_GETDEFID, 0, 0, result))
            return err("no answer");
        if (HIWORD(result) != DC_HASDEFID)
            return ok("none");
        return ok(format_number(LOWORD(result)));
    }
    if (cmd == "rect") {
        if (!resolve_target(w, w.size() > 2, window, control, fail))
            return fail;
        RECT r{};
        if (!GetWindowRect(control, &r))
            return err("no rect");
        return ok(format_number(r.left) + " " + format_number(r.top) + " " + format_number(r.right) + " " +
                  format_number(r.bottom));
    }
    if (cmd == "style") {
        if (!resolve_target(w, w.size() > 2, window, control, fail))
            return fail;
        std::array<char, 48> text{};
        std::snprintf(text.data(), text.size(), "0x%08lx 0x%08lx",
                      static_cast<unsigned long>(GetWindowLongW(control, GWL_STYLE)),
                      static_cast<unsigned long>(GetWindowLongW(control, GWL_EXSTYLE)));
        return ok(text.data());
    }
    if (cmd == "list-controls") {
        if (!resolve_target(w, false, window, control, fail))
            return fail;
        ListState state{"[", true, true};
        EnumChildWindows(window, list_child_window, reinterpret_cast<LPARAM>(&state));
        return ok(state.json + "]");
    }
    if (cmd == "owner") {
        if (!resolve_target(w, false, window, control, fail))
            return fail;
        HWND owner = GetWindow(window, GW_OWNER);
        if (owner == nullptr)
            return ok("none");
        return ok(hex_handle(owner) + " " + escape_line(narrow(window_text_local(owner))));
    }
    if (cmd == "pid") {
        if (!resolve_target(w, false, window, control, fail))
            return fail;
        DWORD pid = 0;
        GetWindowThreadProcessId(window, &pid);
        return ok(format_number(pid));
    }
    if (cmd == "set-ip") {
        if (!need(w, 4))
            return err("usage: set-ip <window> <id> <a.b.c.d|clear>");
        if (!resolve_target(w, true, window, control, fail))
            return fail;
        LRESULT result = 0;
        if (w[3] == "clear")
            return send_bounded(control, IPM_CLEARADDRESS, 0, 0, result) ? ok() : err("no answer");
        unsigned a = 0, b = 0, c = 0, d = 0;
        char extra = 0;
        if (std::sscanf(w[3].c_str(), "%u.%u.%u.%u%c", &a, &b, &c, &d, &extra) != 4 || a > 255 || b > 255 ||
            c > 255 || d > 255)
            return err("bad address");
        if (!send_bounded(control, IPM_SETADDRESS, 0, MAKEIPADDRESS(a, b, c, d), result))
            return err("no answer");
        return ok();
    }
    if (cmd == "select") {
        long long index = 0;
        if (!need(w, 4) || !parse_number(w[3], index))
            return err("usage: select <window> <id> <index>");
        if (!resolve_target(w, true, window, control, fail))
            return fail;
        LRESULT result = 0;
        if (!send_bounded(control, CB_SETCURSEL, static_cast<WPARAM>(index), 0, result))
            return err("no answer");
        return ok(format_number(result));
    }
    if (cmd == "combo-sel") {
        if (!need(w, 3))
            return err("usage: combo-sel <window> <id>");
        if (!resolve_target(w, true, window, control, fail))
            return fail;
        LRESULT result = 0;
        if (!send_bounded(control, CB_GETCURSEL, 0, 0, result))
            return err("no answer");
        return ok(format_number(result));
    }
    if (cmd == "combo-items") {
        if (!need(w, 3))
            return err("usage: combo-items <window> <id>");
        if (!resolve_target(w, true, window, control, fail))
            return fail;
        LRESULT count = 0;
        if (!send_bounded(control, CB_GETCOUNT, 0, 0, count) || count < 0)
            return err("no answer");
        std::string json = "[";
        for (LRESULT i = 0; i < count && i < 1000; ++i) {
            LRESULT length = 0;
            if (!send_bounded(control, CB_GETLBTEXTLEN, static_cast<WPARAM>(i), 0, length) || length < 0)
                return err("no answer");
            std::vector<wchar_t> buffer(static_cast<std::size_t>(length) + 1, L'\0');
            LRESULT copied = 0;
            // CB_GETLBTEXT is marshalled between processes like WM_GETTEXT.
            if (!send_bounded(control, CB_GETLBTEXT, static_cast<WPARAM>(i),
                              reinterpret_cast<LPARAM>(buffer.data()), copied) ||
                copied < 0)
                return err("no answer");
            if (i > 0)
                json += ",";
            std::size_t n = static_cast<std::size_t>(copied) > static_cast<std::size_t>(length)
                                 ? static_cast<std::size_t>(length)
                                 : static_cast<std::size_t>(copied);
            json += json_string(narrow(std::wstring_view(buffer.data(), n)));
        }
        return ok(json + "]");
    }
    if (cmd == "screenshot") {
        if (!need(w, 3))
            return err("usage: screenshot <window> <path.bmp>");
        if (!resolve_target(w, false, window, control, fail))
            return fail;
        // Let the program handle what is queued (painting included), then take
        // pictures until two in a row agree, so the picture is not caught
        // half drawn. Bounded to ten tries. A window that is retitled, moved,
        // hidden or closed meanwhile (an upload dialog retitled with every
        // block, a waiting dialog closed as the upload starts) is pictured as
        // it was last seen with the title and place it had when asked, not as
        // whatever the screen shows there a second later.
        LRESULT ignored = 0;
        send_bounded(window, WM_NULL, 0, 0, ignored);
        RECT r{};
        if (!GetWindowRect(window, &r))
            return err("no rect");
        const std::wstring title = window_text_local(window);
        auto unchanged = [&] {
            RECT now{};
            return IsWindowVisible(window) && GetWindowRect(window, &now) && EqualRect(&now, &r) &&
                   window_text_local(window) == title;
        };
        std::vector<std::uint8_t> rows;
        if (!capture_rect(r, rows))
            return err("capture failed");
        std::vector<std::uint8_t> next;
        for (int i = 0; i < 10; ++i) {
            Sleep(100);
            if (!unchanged() || !capture_rect(r, next) || !unchanged())
                break;
            bool settled = next == rows;
            rows.swap(next);
            if (settled)
                break;
        }
        if (!write_bmp(host_path(w[2]), r.right - r.left, r.bottom - r.top, rows))
            return err("write failed");
        return ok(format_number(r.right - r.left) + " " + format_number(r.bottom - r.top));
    }
    return err("unknown command " + escape_line(cmd));
}

} // namespace

int main()
{
    _setmode(_fileno(stdin), _O_BINARY);
    _setmode(_fileno(stdout), _O_BINARY);
    std::string line;
    bool quit = false;
    std::fputs("ok uidriver ready\n", stdout);
    std::fflush(stdout);
    while (!quit) {
        line.clear();
        int c = 0;
        while ((c = std::fgetc(stdin)) != EOF && c != '\n')
            line += static_cast<char>(c);
        if (c == EOF && line.empty())
            break;
        while (!line.empty() && (line.back() == '\r' || line.back() == ' '))
            line.pop_back();
        std::vector<std::string> words;
        Answer answer{false, {}};
        if (!split_words(line, words))
            answer = err("unterminated quote");
        else if (words.empty())
            answer = err("empty command");
        else
            answer = run_command(words, quit);
        std::string out = answer.ok ? (answer.text.empty() ? "ok" : "ok " + answer.text) : "err " + answer.text;
        out += '\n';
        std::fwrite(out.data(), 1, out.size(), stdout);
        std::fflush(stdout);
    }
    return 0;
}
