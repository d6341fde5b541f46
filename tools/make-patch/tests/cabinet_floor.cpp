// cabinet-floor CAB...: the anchor of make-patch's benchmark. Reads every
// file of every cabinet once, as make-patch's reader does (gcab extracting
// each file to memory, its bytes dropped before the next), and does nothing
// with them: the floor of what reading a product costs.
#include <libgcab.h>

#include <cstdio>

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: cabinet-floor CAB...\n");
    return 2;
  }
  unsigned long long bytes = 0;
  for (int i = 1; i < argc; ++i) {
    GError* error = nullptr;
    GFile* file = g_file_new_for_path(argv[i]);
    GFileInputStream* stream = g_file_read(file, nullptr, &error);
    GCabCabinet* cabinet = gcab_cabinet_new();
    if (stream == nullptr || !gcab_cabinet_load(cabinet, G_INPUT_STREAM(stream), nullptr, &error)) {
      std::fprintf(stderr, "cabinet-floor: cannot read %s: %s\n", argv[i], error ? error->message : "");
      return 1;
    }
    struct Walk {
      GCabFile* previous = nullptr;
      unsigned long long* bytes;
      void Drop() {
        if (previous == nullptr) return;
        if (GBytes* data = gcab_file_get_bytes(previous)) *bytes += g_bytes_get_size(data);
        GBytes* empty = g_bytes_new(nullptr, 0);
        gcab_file_set_bytes(previous, empty);
        g_bytes_unref(empty);
        previous = nullptr;
      }
    } walk{nullptr, &bytes};
    const gboolean done = gcab_cabinet_extract(
        cabinet, nullptr,
        [](GCabFile* each, gpointer data) -> gboolean {
          auto* walk = static_cast<Walk*>(data);
          walk->Drop();
          walk->previous = each;
          return TRUE;
        },
        nullptr, &walk, nullptr, &error);
    walk.Drop();
    if (!done) {
      std::fprintf(stderr, "cabinet-floor: cannot extract %s: %s\n", argv[i], error ? error->message : "");
      return 1;
    }
    g_object_unref(cabinet);
    g_object_unref(stream);
    g_object_unref(file);
  }
  std::printf("%llu bytes read\n", bytes);
  return 0;
}
