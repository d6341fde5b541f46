#include "io/patch_writer.h"

#include <gio/gio.h>
#include <gsf/gsf-infile-msole.h>
#include <gsf/gsf-infile.h>
#include <gsf/gsf-input-stdio.h>
#include <gsf/gsf-outfile-msole.h>
#include <gsf/gsf-outfile.h>
#include <gsf/gsf-output-stdio.h>
#include <gsf/gsf-utils.h>
#include <libgcab.h>
#include <libmsi.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "io/codepage.h"
#include "io/glib_support.h"

namespace makepatch {
namespace {

constexpr guint8 kTransformClassId[16] = {0x82, 0x10, 0x0c, 0x00, 0x00, 0x00, 0x00, 0x00,
                                          0xc0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46};
constexpr guint8 kPatchClassId[16] = {0x86, 0x10, 0x0c, 0x00, 0x00, 0x00, 0x00, 0x00,
                                      0xc0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46};
constexpr char kSummaryStream[] = "\005SummaryInformation";
// Seconds between 1601 and 1970, the two epochs of FILETIME and Unix time.
constexpr std::int64_t kFiletimeEpochOffset = 11644473600;

guint64 Filetime(std::int64_t seconds) {
  return static_cast<guint64>(seconds + kFiletimeEpochOffset) * 10000000ULL;
}

// A database made by msitools' library, committed when asked.
class LibmsiDatabaseFile {
 public:
  LibmsiDatabaseFile(const std::string& path, guint flags) : path_(path) {
    ErrorSlot error;
    database_.reset(libmsi_database_new(path.c_str(), flags | LIBMSI_DB_FLAGS_CREATE, nullptr, error.out()));
    if (!database_) error.Throw("cannot create " + path);
  }

  LibmsiDatabase* get() const { return database_.get(); }

  void Run(const std::string& sql, LibmsiRecord* parameters = nullptr) {
    ErrorSlot error;
    GObjectPtr<LibmsiQuery> query(libmsi_query_new(database_.get(), sql.c_str(), error.out()));
    if (!query || !libmsi_query_execute(query.get(), parameters, error.out())) {
      error.Throw("cannot run \"" + sql + "\" on " + path_);
    }
    libmsi_query_close(query.get(), nullptr);
  }

  // The code page of the database's strings.
  void SetCodepage(std::uint32_t codepage, const TemporaryDirectory& scratch) {
    const std::string file = scratch.File("codepage.idt");
    std::ofstream(file, std::ios::binary) << "\r\n\r\n" << codepage << "\t_ForceCodepage\r\n";
    ErrorSlot error;
    if (!libmsi_database_import(database_.get(), file.c_str(), error.out())) {
      error.Throw("cannot set code page " + std::to_string(codepage) + " on " + path_);
    }
  }

  // msitools writes summary texts byte for byte: they go in already in the
  // code page the summary names.
  void SetSummary(const SummaryInfo& info) {
    ErrorSlot error;
    GObjectPtr<LibmsiSummaryInfo> summary(libmsi_summary_info_new(database_.get(), INT_MAX, error.out()));
    if (!summary) error.Throw("cannot open the summary information of " + path_);
    const CodepageEncoder encode = EncoderFor(info.codepage);
    bool ok = libmsi_summary_info_set_int(summary.get(), LIBMSI_PROPERTY_CODEPAGE,
                                          static_cast<gint>(info.codepage), error.out());
    for (const auto& [pid, text] : info.texts) {
      if (!ok) break;
      const std::optional<std::string> bytes = encode(text);
      if (!bytes) throw PatchError("\"" + text + "\" does not fit code page " + std::to_string(info.codepage));
      ok = libmsi_summary_info_set_string(summary.get(), static_cast<LibmsiProperty>(pid), bytes->c_str(),
                                          error.out());
    }
    for (const auto& [pid, value] : info.integers) {
      if (!ok) break;
      ok = libmsi_summary_info_set_int(summary.get(), static_cast<LibmsiProperty>(pid), value, error.out());
    }
    for (const auto& [pid, seconds] : info.times) {
      if (!ok) break;
      ok = libmsi_summary_info_set_filetime(summary.get(), static_cast<LibmsiProperty>(pid), Filetime(seconds),
                                            error.out());
    }
    if (!ok || !libmsi_summary_info_persist(summary.get(), error.out())) {
      error.Throw("cannot write the summary information of " + path_);
    }
  }

  void Commit() {
    ErrorSlot error;
    if (!libmsi_database_commit(database_.get(), error.out())) error.Throw("cannot write " + path_);
    database_.reset();
  }

 private:
  std::string path_;
  GObjectPtr<LibmsiDatabase> database_;
};

// Writes a cabinet of the files to path. A file whose bytes are on disk is
// read from there as the cabinet is written, so no file is in memory whole.
void WriteCabinet(const PlannedCabinet& cabinet, std::int64_t time, const std::string& path) {
  GObjectPtr<GCabCabinet> cab(gcab_cabinet_new());
  GObjectPtr<GCabFolder> folder(gcab_folder_new(GCAB_COMPRESSION_MSZIP));
  // The files' dates are the patch's creation time, so that the same inputs
  // give the same bytes.
  GDateTime* date = g_date_time_new_from_unix_utc(time);
  ErrorSlot error;
  for (const auto& [name, content] : cabinet.files) {
    GObjectPtr<GCabFile> file;
    if (!content->path.empty()) {
      GObjectPtr<GFile> source(g_file_new_for_path(content->path.c_str()));
      file.reset(gcab_file_new_with_file(name.c_str(), source.get()));
    } else {
      GBytes* data = g_bytes_new(content->bytes.data(), content->bytes.size());
      file.reset(gcab_file_new_with_bytes(name.c_str(), data));
      g_bytes_unref(data);
    }
    if (!gcab_folder_add_file(folder.get(), file.get(), FALSE, nullptr, error.out())) {
      g_date_time_unref(date);
      error.Throw("cannot add " + name + " to cabinet " + cabinet.streamName);
    }
    // Adding a file on disk takes its date and attributes from the disk; the
    // same inputs must give the same cabinet wherever they lie.
    gcab_file_set_date_time(file.get(), date);
    gcab_file_set_attributes(file.get(), 0);
  }
  g_date_time_unref(date);
  if (!gcab_cabinet_add_folder(cab.get(), folder.get(), error.out())) {
    error.Throw("cannot make cabinet " + cabinet.streamName);
  }
  GObjectPtr<GFile> target(g_file_new_for_path(path.c_str()));
  GObjectPtr<GFileOutputStream> out(
      g_file_replace(target.get(), nullptr, FALSE, G_FILE_CREATE_PRIVATE, nullptr, error.out()));
  if (!out || !gcab_cabinet_write_simple(cab.get(), G_OUTPUT_STREAM(out.get()), nullptr, nullptr, nullptr, error.out()) ||
      !g_output_stream_close(G_OUTPUT_STREAM(out.get()), nullptr, error.out())) {
    error.Throw("cannot write cabinet " + cabinet.streamName + " to " + path);
  }
}

// The summary information stream that msitools' library writes for info,
// taken from a scratch database of its own.
Bytes SummaryStream(const SummaryInfo& info, const TemporaryDirectory& scratch, const std::string& name) {
  const std::string path = scratch.File(name + ".msi");
  {
    LibmsiDatabaseFile database(path, 0);
    database.SetSummary(info);
    database.Commit();
  }
  ErrorSlot error;
  GObjectPtr<GsfInput> input(gsf_input_stdio_new(path.c_str(), error.out()));
  if (!input) error.Throw("cannot read " + path);
  GObjectPtr<GsfInfile> storage(gsf_infile_msole_new(input.get(), error.out()));
  if (!storage) error.Throw("cannot read " + path);
  GObjectPtr<GsfInput> stream(gsf_infile_child_by_name(storage.get(), kSummaryStream));
  if (!stream) throw PatchError("no summary information in " + path);
  const gsf_off_t size = gsf_input_size(stream.get());
  Bytes bytes(static_cast<std::size_t>(size));
  if (size > 0 && gsf_input_read(stream.get(), bytes.size(), bytes.data()) == nullptr) {
    throw PatchError("cannot read the summary information of " + path);
  }
  return bytes;
}

// The patch's own database: its tables and summary information (its
// cabinets are streams the patch writer adds itself).
void WriteRootDatabase(const PatchPlan& plan, const std::string& path, const TemporaryDirectory& scratch) {
  LibmsiDatabaseFile database(path, LIBMSI_DB_FLAGS_PATCH);
  database.SetCodepage(plan.codepage, scratch);
  database.Run(
      "CREATE TABLE `MsiPatchMetadata` (`Company` CHAR(72), `Property` CHAR(72) NOT NULL, "
      "`Value` LONGCHAR NOT NULL LOCALIZABLE PRIMARY KEY `Company`, `Property`)");
  database.Run(
      "CREATE TABLE `MsiPatchSequence` (`PatchFamily` CHAR(72) NOT NULL, `ProductCode` CHAR(38), "
      "`Sequence` CHAR(72) NOT NULL, `Attributes` SHORT PRIMARY KEY `PatchFamily`, `ProductCode`)");
  for (const auto& [property, value] : plan.metadata) {
    GObjectPtr<LibmsiRecord> record(libmsi_record_new(2));
    libmsi_record_set_string(record.get(), 1, property.c_str());
    libmsi_record_set_string(record.get(), 2, value.c_str());
    database.Run("INSERT INTO `MsiPatchMetadata` (`Property`, `Value`) VALUES (?, ?)", record.get());
  }
  for (const PatchPlan::SequenceRow& row : plan.sequence) {
    GObjectPtr<LibmsiRecord> record(libmsi_record_new(4));
    libmsi_record_set_string(record.get(), 1, row.family.c_str());
    libmsi_record_set_string(record.get(), 2, row.productCode.c_str());
    libmsi_record_set_string(record.get(), 3, row.sequence.c_str());
    libmsi_record_set_int(record.get(), 4, row.attributes);
    database.Run(
        "INSERT INTO `MsiPatchSequence` (`PatchFamily`, `ProductCode`, `Sequence`, `Attributes`) "
        "VALUES (?, ?, ?, ?)",
        record.get());
  }
  database.SetSummary(plan.summary);
  database.Commit();
}

void WriteStream(GsfOutfile* parent, const std::string& name, const Bytes& bytes) {
  GObjectPtr<GsfOutput> child(gsf_outfile_new_child(parent, name.c_str(), FALSE));
  if (!child || !gsf_output_write(child.get(), bytes.size(), bytes.data()) || !gsf_output_close(child.get())) {
    throw PatchError("cannot write stream " + name);
  }
}

// Copies a stream in pieces: a patch's cabinets may be as large as the
// files they carry.
void CopyStream(GsfInput* from, GsfOutfile* to, const std::string& name) {
  GObjectPtr<GsfOutput> child(gsf_outfile_new_child(to, name.c_str(), FALSE));
  if (!child) throw PatchError("cannot write stream " + name);
  guint8 buffer[1 << 16];
  for (gsf_off_t left = gsf_input_remaining(from); left > 0;) {
    const std::size_t piece = static_cast<std::size_t>(std::min<gsf_off_t>(left, sizeof buffer));
    if (gsf_input_read(from, piece, buffer) == nullptr || !gsf_output_write(child.get(), piece, buffer)) {
      throw PatchError("cannot copy stream " + name);
    }
    left -= static_cast<gsf_off_t>(piece);
  }
  if (!gsf_output_close(child.get())) throw PatchError("cannot write stream " + name);
}

void CopyChildren(GsfInfile* from, GsfOutfile* to) {
  for (int i = 0; i < gsf_infile_num_children(from); ++i) {
    const char* name = gsf_infile_name_by_index(from, i);
    GObjectPtr<GsfInput> child(gsf_infile_child_by_index(from, i));
    if (!child) throw PatchError(std::string("cannot read ") + name);
    if (GSF_IS_INFILE(child.get()) && gsf_infile_num_children(GSF_INFILE(child.get())) >= 0) {
      GObjectPtr<GsfOutput> storage(gsf_outfile_new_child(to, name, TRUE));
      CopyChildren(GSF_INFILE(child.get()), GSF_OUTFILE(storage.get()));
      gsf_output_close(storage.get());
      continue;
    }
    CopyStream(child.get(), to, name);
  }
}

void WriteTransform(GsfOutfile* patch, const PlannedTransform& transform, const TemporaryDirectory& scratch,
                    std::size_t number) {
  GObjectPtr<GsfOutput> child(gsf_outfile_new_child(patch, transform.name.c_str(), TRUE));
  if (!child) throw PatchError("cannot write transform " + transform.name);
  GsfOutfile* storage = GSF_OUTFILE(child.get());
  if (!gsf_outfile_msole_set_class_id(GSF_OUTFILE_MSOLE(storage), kTransformClassId)) {
    throw PatchError("cannot mark transform " + transform.name);
  }
  const std::map<std::u16string, Bytes> streams =
      EncodeTransform(transform.changes, transform.codepage, EncoderFor(transform.codepage));
  for (const auto& [name, bytes] : streams) WriteStream(storage, Utf16ToUtf8(name), bytes);
  WriteStream(storage, kSummaryStream, SummaryStream(transform.summary, scratch, "t" + std::to_string(number)));
  if (!gsf_output_close(child.get())) throw PatchError("cannot write transform " + transform.name);
}

}  // namespace

void WritePatch(const PatchPlan& plan, const std::string& output) {
  // Beside the output: cabinets can be large, and the system's temporary
  // folder may be memory.
  const std::string outputFolder = std::filesystem::path(output).parent_path().string();
  TemporaryDirectory scratch(outputFolder.empty() ? "." : outputFolder);
  const std::string root = scratch.File("root.msp");
  WriteRootDatabase(plan, root, scratch);

  std::string partial = output + ".partial-XXXXXX";
  const int descriptor = mkstemp(partial.data());
  if (descriptor < 0) throw PatchError("cannot write beside " + output);
  close(descriptor);
  try {
    ErrorSlot error;
    GObjectPtr<GsfOutput> sink(gsf_output_stdio_new(partial.c_str(), error.out()));
    if (!sink) error.Throw("cannot write " + partial);
    GObjectPtr<GsfOutfile> patch(gsf_outfile_msole_new(sink.get()));
    if (!patch || !gsf_outfile_msole_set_class_id(GSF_OUTFILE_MSOLE(patch.get()), kPatchClassId)) {
      throw PatchError("cannot write " + partial);
    }
    GObjectPtr<GsfInput> input(gsf_input_stdio_new(root.c_str(), error.out()));
    if (!input) error.Throw("cannot read " + root);
    GObjectPtr<GsfInfile> database(gsf_infile_msole_new(input.get(), error.out()));
    if (!database) error.Throw("cannot read " + root);
    CopyChildren(database.get(), patch.get());
    const std::int64_t time = plan.summary.times.count(kPidCreateTime) ? plan.summary.times.at(kPidCreateTime) : 0;
    for (std::size_t i = 0; i < plan.cabinets.size(); ++i) {
      const std::string file = scratch.File("cabinet-" + std::to_string(i + 1) + ".cab");
      WriteCabinet(plan.cabinets[i], time, file);
      GObjectPtr<GsfInput> cabinet(gsf_input_stdio_new(file.c_str(), error.out()));
      if (!cabinet) error.Throw("cannot read " + file);
      CopyStream(cabinet.get(), patch.get(), Utf16ToUtf8(EncodeStreamName(plan.cabinets[i].streamName, false)));
      std::remove(file.c_str());
    }
    for (std::size_t i = 0; i < plan.transforms.size(); ++i) {
      WriteTransform(patch.get(), plan.transforms[i], scratch, i);
    }
    // Closing the compound file closes its sink too.
    if (!gsf_output_close(GSF_OUTPUT(patch.get()))) {
      throw PatchError("cannot write " + partial);
    }
    patch.reset();
    sink.reset();
    // A patch is for others to read: the permissions of any new file, not
    // the private ones of a temporary one.
    const mode_t mask = umask(0);
    umask(mask);
    if (chmod(partial.c_str(), 0666 & ~mask) != 0 || std::rename(partial.c_str(), output.c_str()) != 0) {
      throw PatchError("cannot write " + output);
    }
  } catch (...) {
    std::remove(partial.c_str());
    throw;
  }
}

}  // namespace makepatch
