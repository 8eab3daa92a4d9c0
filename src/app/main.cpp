#include "app/qz670x_app.h"

int main(int argc, char** argv) {
  qz::app::CQZ670xWriteEepromMPUtyApp app;
  return app.InitInstance(argc, argv);
}

#if defined(__SANITIZE_THREAD__)
// Qt is not built with ThreadSanitizer: its own threads take and free memory and locks behind
// the sanitizer's back. Interceptors called from such uninstrumented code are not checked;
// everything built here still is.
extern "C" const char* __tsan_default_options() { return "ignore_noninstrumented_modules=1"; }
#endif
