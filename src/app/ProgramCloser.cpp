// Kept apart from every Qt header: Xlib's macros (None, Bool, Status, ...)
// clash with Qt's names.
#include "app/ProgramCloser.h"

#include <X11/Xlib.h>
#include <dlfcn.h>

#include <cstdlib>
#include <deque>
#include <type_traits>
#include <utility>

namespace trelvo {

struct TX11ProgramCloser::TLib {
  void* Handle = nullptr;
  decltype(&::XOpenDisplay) OpenDisplay = nullptr;
  decltype(&::XCloseDisplay) CloseDisplay = nullptr;
  decltype(&::XInternAtom) InternAtom = nullptr;
  decltype(&::XQueryTree) QueryTree = nullptr;
  decltype(&::XGetWindowProperty) GetWindowProperty = nullptr;
  decltype(&::XFetchName) FetchName = nullptr;
  decltype(&::XSendEvent) SendEvent = nullptr;
  decltype(&::XSync) Sync = nullptr;
  decltype(&::XFree) Free = nullptr;
  decltype(&::XSetErrorHandler) SetErrorHandler = nullptr;

  ~TLib() {
    if (Handle) ::dlclose(Handle);
  }
  bool Load() {
    Handle = ::dlopen("libX11.so.6", RTLD_NOW | RTLD_LOCAL);
    if (!Handle) return false;
    auto get = [this](auto& fn, const char* name) {
      fn = reinterpret_cast<std::remove_reference_t<decltype(fn)>>(::dlsym(Handle, name));
      return fn != nullptr;
    };
    return get(OpenDisplay, "XOpenDisplay") && get(CloseDisplay, "XCloseDisplay") && get(InternAtom, "XInternAtom") &&
           get(QueryTree, "XQueryTree") && get(GetWindowProperty, "XGetWindowProperty") &&
           get(FetchName, "XFetchName") && get(SendEvent, "XSendEvent") && get(Sync, "XSync") &&
           get(Free, "XFree") && get(SetErrorHandler, "XSetErrorHandler");
  }
};

namespace {

// Windows come and go while the tree is read; the default handler would end
// the program on the first BadWindow.
int IgnoreXError(Display*, XErrorEvent*) { return 0; }

// The managed windows of a desktop lie under the window manager's frames,
// a few levels below the root; deeper ones are parts of programs.
constexpr int kMaxDepth = 4;

}  // namespace

TX11ProgramCloser::TX11ProgramCloser() = default;
TX11ProgramCloser::~TX11ProgramCloser() = default;

bool TX11ProgramCloser::CloseWindowByTitle(const std::string& title) {
  const char* display = std::getenv("DISPLAY");
  if (!display || !*display) return false;
  if (!Tried_) {
    Tried_ = true;
    auto lib = std::make_unique<TLib>();
    if (lib->Load()) Lib_ = std::move(lib);
  }
  if (!Lib_) return false;
  TLib& x = *Lib_;
  Display* dpy = x.OpenDisplay(nullptr);
  if (!dpy) return false;
  auto oldHandler = x.SetErrorHandler(IgnoreXError);

  const Atom netWmName = x.InternAtom(dpy, "_NET_WM_NAME", False);
  const Atom utf8 = x.InternAtom(dpy, "UTF8_STRING", False);
  auto nameOf = [&](Window w) {
    std::string name;
    Atom type = 0;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    if (x.GetWindowProperty(dpy, w, netWmName, 0, 1024, False, utf8, &type, &format, &count, &after, &data) == Success &&
        data) {
      if (type == utf8 && format == 8) name.assign(reinterpret_cast<char*>(data), count);
      x.Free(data);
      if (type == utf8) return name;
    }
    char* legacy = nullptr;
    if (x.FetchName(dpy, w, &legacy) && legacy) {
      name = legacy;
      x.Free(legacy);
    }
    return name;
  };

  Window found = 0;
  std::deque<std::pair<Window, int>> queue{{DefaultRootWindow(dpy), 0}};
  while (!queue.empty() && !found) {
    auto [w, depth] = queue.front();
    queue.pop_front();
    if (depth > 0 && nameOf(w) == title) {
      found = w;
      break;
    }
    if (depth >= kMaxDepth) continue;
    Window root = 0, parent = 0, *children = nullptr;
    unsigned int n = 0;
    if (x.QueryTree(dpy, w, &root, &parent, &children, &n)) {
      for (unsigned int i = 0; i < n; ++i) queue.push_back({children[i], depth + 1});
      if (children) x.Free(children);
    }
  }

  if (found) {
    XEvent ev{};
    ev.xclient.type = ClientMessage;
    ev.xclient.window = found;
    ev.xclient.message_type = x.InternAtom(dpy, "WM_PROTOCOLS", False);
    ev.xclient.format = 32;
    ev.xclient.data.l[0] = static_cast<long>(x.InternAtom(dpy, "WM_DELETE_WINDOW", False));
    ev.xclient.data.l[1] = CurrentTime;
    x.SendEvent(dpy, found, False, NoEventMask, &ev);
  }
  x.Sync(dpy, False);
  x.SetErrorHandler(oldHandler);
  x.CloseDisplay(dpy);
  return found != 0;
}

}  // namespace trelvo
