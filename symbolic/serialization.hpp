#pragma once

// Graphs as bytes: a versioned, compact file format for the graphs below one
// or more outputs, and for tapes and functions by what they were made from.
// README.md ("The file format") describes the layout.
//
// A loaded graph is made of new nodes (new ids) with the saved kinds,
// dimensions, values, names, hints, operations, component indices and
// structure: a node shared by several users is one node again. Gradients are
// not saved. Loading checks everything it reads and refuses a truncated,
// damaged or foreign file, or one of a newer format version, with
// std::invalid_argument "cannot load graph: ..." before it makes a node, or
// releases every node it made, and takes time linear in the file.
//
// What a file of L bytes can make a loader allocate is linear in L: every
// node must be below an output or a function's input (the saver writes no
// other), so each costs the file at least two bytes, its record and one
// reference to it, and a file holds at most (L - 30) / 2 nodes. A node is
// one heap block of 272 bytes whatever its record, and the decoder's own
// tables take about 25 bytes a node until it returns; a name takes at most
// twice its bytes in the file, a hint none beyond its node, each output or
// input (a byte at least) a handle of 16 bytes. In all, loading allocates at
// most about 150 times L (130 for a tree of packs over unnamed placeholders,
// 2.25 bytes a node, the fewest a large file gives), a model's file (about
// six bytes a node) about 50 times L. A Tape or Function made of what was
// loaded adds about 70 bytes a node while it records.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <iosfwd>
#include <string>
#include <string_view>
#include <vector>

#include "symbolic/function.hpp"
#include "symbolic/tape.hpp"
#include "symbolic/value.hpp"

namespace zarnik::symbolic {

// The format version that save writes and the newest that load reads.
inline constexpr std::uint16_t graph_file_version = 1;
// The bytes of the fixed header that every file begins with.
inline constexpr std::size_t graph_file_header_size = 24;

// What a file was made from.
enum class GraphFileContent : std::uint8_t { Graph = 1, Tape = 2, Function = 3 };

// The contents of one file: the graphs below `outputs` and, for a function,
// its inputs (placeholders or parameters, distinct, in order). `listed`
// records whether the outputs were given as a sequence, even of one, so that
// a caller answers in the shape it was asked (Python's functions do).
struct GraphFile {
    GraphFileContent content = GraphFileContent::Graph;
    std::vector<Value> outputs;
    std::vector<Value> inputs;
    bool listed = false;
};

// Called every few tens of thousands of nodes by the calls that take it, so
// that a long save or load can be interrupted: what it throws ends the call.
using GraphFilePoll = std::function<void()>;

// What a value, a tape and a function are saved as.
GraphFile graph_file(const Value& output);
GraphFile graph_file(const Tape& tape);
GraphFile graph_file(const Function& function, bool listed = true);

// Writes one file. Throws std::invalid_argument "cannot save graph: ..." for
// contents that no file can hold (an empty handle, no output, a tape of other
// than one output, inputs outside a function, a node whose operation code
// names no operation, a name that is not UTF-8), and std::runtime_error when
// the stream fails.
void save(std::ostream& out, const GraphFile& file);
void save(std::ostream& out, const Value& output);
void save(std::ostream& out, const Tape& tape);
void save(std::ostream& out, const Function& function);

// Writes one file at `path`, replacing any file there only when the whole
// new one is written and flushed to the disk: the bytes go to a temporary
// file in the same directory, which is renamed over the path. A symbolic link
// there stays, and the file it leads to is replaced; a replaced file keeps its
// permission bits and, where the user may give it, its owner; a new one gets
// the mode a new file gets (0666 less the umask). A file the user may not
// write is refused as opening it would refuse (EACCES), and what is no
// regular file (a pipe, a device such as /dev/null) is written into, not
// replaced. When anything fails, or `poll` throws (it is called as the
// contents are encoded, between pieces of the write and before the rename),
// the temporary is removed and the old file is untouched. Throws what the
// stream save throws for the contents, before anything is written, and
// std::filesystem::filesystem_error (with the path and the error) when the
// file system refuses.
void save(const std::filesystem::path& path, const GraphFile& file, const GraphFilePoll& poll = {});
void save(const std::filesystem::path& path, const Value& output);
void save(const std::filesystem::path& path, const Tape& tape);
void save(const std::filesystem::path& path, const Function& function);

// The same file as bytes.
std::string save_to_bytes(const GraphFile& file, const GraphFilePoll& poll = {});

// Reads one file from the stream's current position, leaving the stream just
// after it.
GraphFile load(std::istream& in);
// Reads exactly one file: bytes after its end are refused.
GraphFile load_from_bytes(std::string_view bytes, const GraphFilePoll& poll = {});
// The length of the whole file whose first graph_file_header_size bytes (or
// fewer, when the file is shorter) are `header`, after the checks of the
// header that load makes: what a reader of another kind of source reads on.
std::uint64_t graph_file_length(std::string_view header);
// The file's one output, tape or function; throws std::invalid_argument when
// the file holds something else.
Value load_value(std::istream& in);
Tape load_tape(std::istream& in);
Function load_function(std::istream& in);

// Reads the one file at `path`: bytes after its end are refused, as by
// load_from_bytes. std::filesystem::filesystem_error when it cannot be read.
GraphFile load(const std::filesystem::path& path);
Value load_value(const std::filesystem::path& path);
Tape load_tape(const std::filesystem::path& path);
Function load_function(const std::filesystem::path& path);

}  // namespace zarnik::symbolic
