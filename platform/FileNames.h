// Every name the program gives a file beside another: a table's companions (memo file,
// production index, the other drivers' files) and the temporary, backup and partial names under
// which a replacement is written before it takes a file's place. Pure text rules, nothing here
// touches the disk, so that every layer (the settings file, the templates, the engine, the
// maintenance steps) derives its names from this one place.
#pragma once

#include <string>

namespace ari {

// Extensions of a table and its companions, as the engine writes them (a companion of another
// program is found whatever the case of its name).
inline constexpr const char* kTableExtension = ".dbf";
inline constexpr const char* kMemoExtension = ".dbt";
inline constexpr const char* kProductionIndexExtension = ".mdx";
inline constexpr const char* kFoxProMemoExtension = ".fpt";
inline constexpr const char* kFoxProIndexExtension = ".cdx";
inline constexpr const char* kParadoxIndexExtension = ".px";
inline constexpr const char* kParadoxMemoExtension = ".mb";
// The folder-listing mask of the tables the program works on, and the masks that pick a table's
// driver by its name.
inline constexpr const char* kTableMask = "*.dbf";
inline constexpr const char* kParadoxTableMask = "*.db";

// What a temporary file beside a file is for; the purpose is part of its name, so that two
// writers of different purposes never take each other's file.
inline constexpr const char* kPackPurpose = "pack";      // a packed table or its new index
inline constexpr const char* kIndexPurpose = "index";    // a rebuilt production index
inline constexpr const char* kNewTablePurpose = "new";   // a table created afresh
inline constexpr const char* kCopyPurpose = "copy";      // a transferred template index
inline constexpr const char* kBackupPurpose = "keep";    // an old file kept while a set is replaced
inline constexpr const char* kRecordPurpose = "record";  // a record the schedule writes anew
// The purpose of the Nth sorted run an index build spills to disk.
std::string SortRunPurpose(size_t run);

// `path` without the extension of its file name (from the last full stop on); the folder part
// is kept.
std::string StemOf(const std::string& path);
// The table path with its extension replaced by `ext` (".mdx"): the name the engine gives a
// companion it creates. "ORDERS.DBF" and ".mdx" give "ORDERS.mdx".
std::string CompanionPathFor(const std::string& tablePath, const std::string& ext);
// True when the file name of `path` ends in `ext`, whatever the case, and is more than `ext`.
bool HasExtension(const std::string& path, const std::string& ext);

// The hidden name beside `path` under which a replacement of it is written
// ("<folder>.<name>.<purpose>.tmp").
std::string TemporaryPathFor(const std::string& path, const std::string& purpose);
// The hidden name under which the current `path` is kept while a set of files is replaced.
std::string BackupPathFor(const std::string& path);
// True for file names made by TemporaryPathFor or BackupPathFor.
bool IsEngineTemporaryName(const std::string& fileName);

// Patterns for a temporary name of its own beside `path` (the "XXXXXX" at the end is replaced
// by the creator so that the name is new): "<path>.XXXXXX" for the settings file,
// "<folder>.<name>.XXXXXX" (hidden) for an unpacked template.
std::string UniqueTemporaryPattern(const std::string& path);
std::string HiddenUniqueTemporaryPattern(const std::string& path);
// True when `fileName` is a name that the pattern of `target` (UniqueTemporaryPattern when
// `hidden` is false, HiddenUniqueTemporaryPattern otherwise) gives.
bool IsUniqueTemporaryOf(const std::string& fileName, const std::string& target, bool hidden);

// The name a whole-file writer that cannot write through a descriptor of ours (an archive
// library) writes to before its rename ("<path>.part").
std::string PartialPathFor(const std::string& path);

// The files beside the programs: the settings file, the marker held while a pass runs, the
// folder of the template tables and the archive of them, written into that folder and removed
// once it is unpacked.
inline constexpr const char* kSettingsFileName = "Setting_VorelIndex.ini";
inline constexpr const char* kRunMarkerName = "reindexing";
// The record of the day of the last successful pass, beside the run marker.
inline constexpr const char* kPassRecordName = "reindexed";
inline constexpr const char* kTemplateFolderName = "mdx";
inline constexpr const char* kTemplateArchiveName = "mdx.zip";
// The hidden folder beside `folderPath` (given without a trailing separator) in which a folder
// is made whole before it takes that name ("<parent>.<name>.unpacking").
std::string UnpackingPathFor(const std::string& folderPath);
// The Nth older generation of a rotated file ("<path>.<n>", 1 the newest).
std::string GenerationPathFor(const std::string& path, int generation);

}  // namespace ari
