#include "io/package_reader.h"

#include <gio/gio.h>
#include <gsf/gsf-infile-msole.h>
#include <gsf/gsf-input-stdio.h>
#include <gsf/gsf-utils.h>
#include <libgcab.h>
#include <libmsi.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <map>
#include <fstream>
#include <optional>
#include <set>
#include <utility>
#include <vector>

#include "msi/package_check.h"
#include "msi/source_layout.h"
#include "msi/transform_decoding.h"
#include "msi/transform_encoding.h"
#include "io/build_stamp_digest.h"
#include "io/file_digest.h"
#include "io/glib_support.h"
#include "io/file_source.h"
#include "io/package_transfer.h"
#include "io/reader_process.h"

namespace makepatch {
namespace {

Bytes ReadAll(GInputStream* stream, const std::string& what) {
  Bytes bytes;
  guint8 buffer[65536];
  ErrorSlot error;
  for (;;) {
    gsize read = 0;
    if (!g_input_stream_read_all(stream, buffer, sizeof buffer, &read, nullptr, error.out())) {
      error.Throw("cannot read " + what);
    }
    bytes.insert(bytes.end(), buffer, buffer + read);
    if (read < sizeof buffer) return bytes;
  }
}

class PackageReader {
 public:
  PackageReader(const std::string& path, const KeepFile& keep, ContentStore& store)
      : path_(path), keep_(keep), store_(store) {
    // CheckBeforeReading has judged the compound file and its class: a
    // patch or a transform given by mistake is never read as an empty product.
    Stage("its string pool");
    ErrorSlot error;
    database_.reset(libmsi_database_new(path.c_str(), LIBMSI_DB_FLAGS_READONLY, nullptr, error.out()));
    if (!database_) error.ThrowDamaged(path, "its string pool", "msitools' library cannot open it", kPackageKind);
  }

  Package Read(bool withFiles) {
    Package package;
    package.path = path_;
    package.database.codepage = Codepage();
    for (const auto& [name, columns] : Schema()) {
      Stage("table " + name);
      Table table{name, columns, Rows(name, columns)};
      package.database.tables.emplace(name, std::move(table));
    }
    package.loose = ReadLooseStreams(RowStreams(package.database));
    const std::int32_t wordCount = ReadSummary(package);
    if (withFiles) ReadFiles(package, wordCount);
    return package;
  }

 private:
  // Runs a query and calls fn for every record.
  template <typename Fn>
  void Query(const std::string& sql, Fn&& fn) {
    ErrorSlot error;
    GObjectPtr<LibmsiQuery> query(libmsi_query_new(database_.get(), sql.c_str(), error.out()));
    if (!query || !libmsi_query_execute(query.get(), nullptr, error.out())) {
      error.ThrowDamaged(path_, stage_, "msitools' library cannot run \"" + sql + "\"", kPackageKind);
    }
    for (;;) {
      GObjectPtr<LibmsiRecord> record(libmsi_query_fetch(query.get(), error.out()));
      if (!record) break;
      fn(record.get());
    }
  }

  static std::string Text(LibmsiRecord* record, guint field) {
    if (libmsi_record_is_null(record, field)) return {};
    GString8 text(libmsi_record_get_string(record, field));
    return text ? std::string(text.get()) : std::string();
  }

  std::uint32_t Codepage() {
    TemporaryDirectory scratch;
    const std::string file = scratch.File("codepage.idt");
    FILE* out = std::fopen(file.c_str(), "wb");
    if (out == nullptr) throw PatchError("cannot write " + file);
    ErrorSlot error;
    const bool exported = libmsi_database_export(database_.get(), "_ForceCodepage", fileno(out), error.out());
    std::fclose(out);
    if (!exported) error.ThrowDamaged(path_, "its string pool", "its code page cannot be read", kPackageKind);
    // Two empty lines, then "<code page>\t_ForceCodepage".
    std::ifstream in(file);
    std::string line;
    while (std::getline(in, line)) {
      const auto tab = line.find("\t_ForceCodepage");
      if (tab != std::string::npos) return static_cast<std::uint32_t>(std::stoul(line.substr(0, tab)));
    }
    throw PatchError(path_ + ": cannot read its code page");
  }

  std::map<std::string, std::vector<Column>> Schema() {
    std::map<std::string, std::vector<std::pair<int, Column>>> numbered;
    Stage("table _Tables");
    Query("SELECT `Name` FROM `_Tables`", [&](LibmsiRecord* record) { numbered[Text(record, 1)]; });
    // A table with columns but no row in _Tables is read too: what cannot
    // be read is refused by name, never left out.
    Stage("table _Columns");
    Query("SELECT `Table`, `Number`, `Name`, `Type` FROM `_Columns`", [&](LibmsiRecord* record) {
      numbered[Text(record, 1)].emplace_back(libmsi_record_get_int(record, 2),
                                 Column{Text(record, 3), static_cast<std::uint16_t>(libmsi_record_get_int(record, 4))});
    });
    std::map<std::string, std::vector<Column>> schema;
    for (auto& [table, columns] : numbered) {
      std::sort(columns.begin(), columns.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
      for (auto& [number, column] : columns) schema[table].push_back(std::move(column));
    }
    return schema;
  }

  std::vector<Row> Rows(const std::string& table, const std::vector<Column>& columns) {
    std::vector<Row> rows;
    Query("SELECT * FROM `" + table + "`", [&](LibmsiRecord* record) {
      Row row;
      for (guint i = 1; i <= columns.size(); ++i) {
        const Column& column = columns[i - 1];
        if (libmsi_record_is_null(record, i)) {
          row.push_back(Value::Null());
        } else if (column.IsBinary()) {
          GObjectPtr<GInputStream> stream(libmsi_record_get_stream(record, i));
          row.push_back(stream ? Value::Binary(ReadAll(stream.get(), path_ + ": a stream of table " + table))
                               : Value::Null());
        } else if (column.IsString()) {
          row.push_back(Value::Text(Text(record, i)));
        } else {
          row.push_back(Value::Integer(libmsi_record_get_int(record, i)));
        }
      }
      rows.push_back(std::move(row));
    });
    return rows;
  }

  // The streams no row owns and the substorages, each by a digest of its
  // bytes. Table streams and those of the summary information and the
  // digital signature ("\005" names) are not the package's content.
  LooseStreams ReadLooseStreams(const std::set<std::string>& rowStreams) {
    ErrorSlot error;
    GObjectPtr<GsfInput> input(gsf_input_stdio_new(path_.c_str(), error.out()));
    if (!input) error.Throw("cannot read " + path_);
    GObjectPtr<GsfInfile> root(gsf_infile_msole_new(input.get(), error.out()));
    if (!root) error.ThrowDamaged(path_, "its compound file", "the library cannot open it", kPackageKind);
    LooseStreams loose;
    for (int i = 0; i < gsf_infile_num_children(root.get()); ++i) {
      const std::u16string raw = Utf8ToUtf16(gsf_infile_name_by_index(root.get(), i));
      if (raw.empty() || raw[0] == 0x4840 || raw[0] == 0x0005) continue;
      const std::string name = DecodeStreamName(raw).name;
      if (rowStreams.contains(name)) continue;
      Stage("stream " + name);
      GObjectPtr<GsfInput> child(gsf_infile_child_by_index(root.get(), i));
      if (!child) throw DamagedFile(path_, "stream " + name, "the library cannot open it", kPackageKind);
      FileDigest digest;
      const bool storage = AddToDigest(child.get(), digest, name);
      (storage ? loose.storages : loose.streams)[name] = digest.Finish();
    }
    return loose;
  }

  // Adds a stream's length and bytes, or a storage's children in name
  // order with their names; true for a storage.
  bool AddToDigest(GsfInput* input, FileDigest& digest, const std::string& name) {
    if (GSF_IS_INFILE(input) && gsf_infile_num_children(GSF_INFILE(input)) >= 0) {
      GsfInfile* storage = GSF_INFILE(input);
      std::map<std::string, int> children;
      for (int i = 0; i < gsf_infile_num_children(storage); ++i) children[gsf_infile_name_by_index(storage, i)] = i;
      for (const auto& [child, index] : children) {
        digest.Add(child.c_str(), child.size() + 1);
        GObjectPtr<GsfInput> stream(gsf_infile_child_by_index(storage, index));
        if (!stream) throw DamagedFile(path_, "stream " + name + "/" + child, "the library cannot open it", kPackageKind);
        AddToDigest(stream.get(), digest, name + "/" + child);
      }
      return true;
    }
    const std::uint64_t size = static_cast<std::uint64_t>(gsf_input_size(input));
    digest.Add(&size, sizeof size);
    guint8 buffer[1 << 16];
    for (gsf_off_t left = gsf_input_remaining(input); left > 0;) {
      const std::size_t piece = static_cast<std::size_t>(std::min<gsf_off_t>(left, sizeof buffer));
      if (gsf_input_read(input, piece, buffer) == nullptr) {
        throw DamagedFile(path_, "stream " + name, "the library cannot read it", kPackageKind);
      }
      digest.Add(buffer, piece);
      left -= static_cast<gsf_off_t>(piece);
    }
    return false;
  }

  // Returns the Word Count: what kind of source the package is.
  std::int32_t ReadSummary(Package& package) {
    Stage("its summary information");
    ErrorSlot error;
    GObjectPtr<LibmsiSummaryInfo> summary(libmsi_summary_info_new(database_.get(), 0, error.out()));
    if (!summary) error.ThrowDamaged(path_, "its summary information", "msitools' library cannot read it", kPackageKind);
    const gchar* text = libmsi_summary_info_get_string(summary.get(), LIBMSI_PROPERTY_TEMPLATE, nullptr);
    package.summaryTemplate = text != nullptr ? text : "";
    package.pageCount = libmsi_summary_info_get_int(summary.get(), LIBMSI_PROPERTY_VERSION, nullptr);
    const gint wordCount = libmsi_summary_info_get_int(summary.get(), LIBMSI_PROPERTY_SOURCE, nullptr);
    return wordCount > 0 ? wordCount : 0;
  }

  // The cabinet of one Media row: a stream of the package ("#name") or a
  // file beside it.
  GObjectPtr<GInputStream> OpenCabinet(const std::string& cabinet) {
    if (cabinet.front() != '#') {
      GString8 folder(g_path_get_dirname(path_.c_str()));
      const std::string file = std::string(folder.get()) + "/" + cabinet;
      GObjectPtr<GFile> handle(g_file_new_for_path(file.c_str()));
      ErrorSlot error;
      GObjectPtr<GFileInputStream> stream(g_file_read(handle.get(), nullptr, error.out()));
      if (!stream) error.Throw(path_ + ": cannot open its cabinet " + file);
      return GObjectPtr<GInputStream>(G_INPUT_STREAM(stream.release()));
    }
    GObjectPtr<GInputStream> found;
    Query("SELECT `Name`, `Data` FROM `_Streams`", [&](LibmsiRecord* record) {
      if (!found && Text(record, 1) == cabinet.substr(1)) found.reset(libmsi_record_get_stream(record, 2));
    });
    if (!found) throw PatchError(path_ + ": its cabinet " + cabinet.substr(1) + " is not in the package");
    // gcab seeks within the cabinet; the library's streams can.
    if (!G_IS_SEEKABLE(found.get()) || !g_seekable_can_seek(G_SEEKABLE(found.get()))) {
      throw PatchError(path_ + ": its cabinet " + cabinet.substr(1) + " cannot be read in place");
    }
    return found;
  }

  void ReadFiles(Package& package, std::int32_t wordCount) {
    const SourceLayout layout = PlanSourceLayout(package.database, wordCount);
    // An administrative image keeps its Media rows but not their cabinets.
    const std::set<std::string> compressed(layout.compressed.begin(), layout.compressed.end());
    if (!compressed.empty()) ReadCabinets(package, compressed);
    for (const std::string& key : layout.compressed) {
      if (!package.files.contains(key)) {
        throw PatchError(path_ + ": file " + key + " of its File table is in none of its cabinets");
      }
    }
    for (const UncompressedFile& file : layout.uncompressed) ReadUncompressed(package, file, wordCount);
  }

  // Every file of every cabinet, one at a time: extracted to memory, its
  // digest taken and its bytes kept only when asked, before the next one.
  void ReadCabinets(Package& package, const std::set<std::string>& compressed) {
    const Table* media = package.database.FindTable("Media");
    if (media == nullptr) return;
    const auto cabinetColumn = media->ColumnIndex("Cabinet");
    if (!cabinetColumn) return;
    for (const Row& row : media->rows) {
      const Value& cabinet = row[*cabinetColumn];
      if (cabinet.kind != Value::Kind::kText) continue;
      Stage("cabinet " + (cabinet.text.front() == '#' ? cabinet.text.substr(1) : cabinet.text));
      GObjectPtr<GInputStream> stream = OpenCabinet(cabinet.text);
      GObjectPtr<GCabCabinet> cab(gcab_cabinet_new());
      ErrorSlot error;
      if (!gcab_cabinet_load(cab.get(), stream.get(), nullptr, error.out())) {
        error.ThrowDamaged(path_, stage_, "the library cannot read it", kPackageKind);
      }
      CabinetWalk walk{this, &package, &compressed, nullptr};
      // Without a folder, gcab extracts each file to memory; the callback of
      // the next file is the moment the previous one is complete.
      const gboolean extracted = gcab_cabinet_extract(
          cab.get(), nullptr,
          [](GCabFile* file, gpointer data) -> gboolean {
            auto* walk = static_cast<CabinetWalk*>(data);
            walk->TakePrevious();
            if (!walk->compressed->contains(gcab_file_get_name(file))) return FALSE;
            walk->previous = file;
            return TRUE;
          },
          nullptr, &walk, nullptr, error.out());
      if (!extracted) error.ThrowDamaged(path_, stage_, "the library cannot extract it", kPackageKind);
      walk.TakePrevious();
    }
  }

  struct CabinetWalk {
    PackageReader* reader;
    Package* package;
    const std::set<std::string>* compressed;
    GCabFile* previous;

    void TakePrevious() {
      if (previous == nullptr) return;
      GCabFile* file = std::exchange(previous, nullptr);
      GBytes* bytes = gcab_file_get_bytes(file);
      gsize size = 0;
      const auto* data = bytes != nullptr ? static_cast<const std::uint8_t*>(g_bytes_get_data(bytes, &size)) : nullptr;
      reader->Take(*package, gcab_file_get_name(file), data, size);
      // Let go of the bytes before the next file is extracted.
      GBytes* empty = g_bytes_new(nullptr, 0);
      gcab_file_set_bytes(file, empty);
      g_bytes_unref(empty);
    }
  };

  void Take(Package& package, const std::string& key, const std::uint8_t* data, std::size_t size) {
    FileDigest digest;
    digest.Add(data, size);
    PackageFile file{size, digest.Finish(), nullptr, DigestBuildStamps(data, size)};
    if (keep_(key, file)) file.content = store_.Keep(data, size);
    package.files[key] = std::move(file);
  }

  // A file of the folder tree, read in pieces; kept where it is.
  void TakeFromDisk(Package& package, const std::string& key, const std::string& path) {
    FILE* in = std::fopen(path.c_str(), "rb");
    if (in == nullptr) throw PatchError(path_ + ": cannot read " + path);
    FileDigest digest;
    std::vector<std::uint8_t> buffer(1 << 20);
    std::uint64_t size = 0;
    for (;;) {
      const std::size_t read = std::fread(buffer.data(), 1, buffer.size(), in);
      digest.Add(buffer.data(), read);
      size += read;
      if (read < buffer.size()) break;
    }
    const bool failed = std::ferror(in) != 0;
    std::fclose(in);
    if (failed) throw PatchError(path_ + ": cannot read " + path);
    PackageFile file{size, digest.Finish(), nullptr, DigestBuildStampsOfFile(path)};
    if (keep_(key, file)) file.content = ContentStore::Refer(path);
    package.files[key] = std::move(file);
  }

  // A file of the package's folder tree. An image copied from a Windows
  // share keeps its names in the letter case they were written with, which
  // need not be the package's: Windows ignores it, and so does this.
  static std::optional<std::filesystem::path> FindIgnoringCase(const std::filesystem::path& folder,
                                                               const std::string& relative) {
    namespace fs = std::filesystem;
    const auto fold = [](std::string text) {
      std::transform(text.begin(), text.end(), text.begin(),
                     [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
      return text;
    };
    fs::path at = folder;
    std::size_t start = 0;
    while (start <= relative.size()) {
      const std::size_t end = std::min(relative.find('/', start), relative.size());
      const std::string name = relative.substr(start, end - start);
      start = end + 1;
      if (name.empty()) continue;
      std::error_code error;
      if (fs::exists(at / name, error)) {
        at /= name;
        continue;
      }
      std::optional<fs::path> match;
      for (fs::directory_iterator entry(at, error), last; !error && entry != last; entry.increment(error)) {
        if (fold(entry->path().filename().string()) == fold(name)) {
          match = entry->path();
          break;
        }
      }
      if (!match) return std::nullopt;
      at = *match;
    }
    std::error_code error;
    if (!fs::is_regular_file(at, error)) return std::nullopt;
    return at;
  }

  void ReadUncompressed(Package& package, const UncompressedFile& file, std::int32_t wordCount) {
    namespace fs = std::filesystem;
    fs::path folder = fs::path(path_).parent_path();
    if (folder.empty()) folder = ".";
    std::string tried;
    for (const std::string& relative : file.paths) {
      if (const auto found = FindIgnoringCase(folder, relative)) {
        TakeFromDisk(package, file.key, found->string());
        return;
      }
      tried += (tried.empty() ? "" : " nor at ") + (folder / relative).string();
    }
    throw PatchError(path_ + ": file " + file.key + " of its File table is uncompressed (Word Count " +
                     std::to_string(wordCount) + "), but it is not at " + tried);
  }

  // What is being read now: told to the reader process's parent, and the
  // part a library's refusal names.
  void Stage(const std::string& part) {
    stage_ = part;
    ReadingStage(part);
  }

  std::string path_;
  std::string stage_ = "its compound file";
  const KeepFile& keep_;
  ContentStore& store_;
  GObjectPtr<LibmsiDatabase> database_;
};

// Our own readers judge the package first, so that what is damaged is
// named; the libraries then read it in a reader process, so that damage the
// judging lets through, and that would crash them, is a refusal too.
void CheckBeforeReading(const std::string& path, bool cabinets) {
  const FileSource source(path);
  const std::filesystem::path folder = std::filesystem::path(path).parent_path();
  CheckPackage(source, path, cabinets, [&](const std::string& name) {
    BesideFile beside;
    beside.path = (folder.empty() ? std::filesystem::path(name) : folder / name).string();
    std::error_code error;
    if (std::filesystem::is_regular_file(beside.path, error)) beside.source = std::make_unique<FileSource>(beside.path);
    return beside;
  });
}

}  // namespace

Package ReadPackage(const std::string& path, const KeepFile& keep, ContentStore& store) {
  CheckBeforeReading(path, true);
  return DecodePackage(ReadInReaderProcess(path, kPackageKind, [&] {
    return EncodePackage(PackageReader(path, keep, store).Read(true));
  }));
}

Package ReadPackageDatabase(const std::string& path) {
  CheckBeforeReading(path, false);
  return DecodePackage(ReadInReaderProcess(path, kPackageKind, [&] {
    ContentStore store(path);  // never written to: no file is kept
    return EncodePackage(
        PackageReader(path, [](const std::string&, const PackageFile&) { return false; }, store).Read(false));
  }));
}

}  // namespace makepatch
