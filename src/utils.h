// Console lines written whole from any thread (printWholeLine: the engine's warnings and the
// runners' progress lines), and diagnostics for native callers: printing integer vectors and a
// history's transition log on standard output, and writing integer vectors and matrices to text
// files. No runner calls the diagnostics and the Python module does not offer them.
//
// None of them returns a value or throws on its own account (a stream's allocation failure may
// still escape). Numbers are written as decimal integers.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "history/historyOutputs.h"

// Writes `line` (which ends with its own newline) to `out` in one piece and flushes, under a
// lock shared by every caller, so that lines written by different threads never interleave.
void printWholeLine(std::ostream& out, const std::string& line);

// "[1, 2, 3]" and a newline, flushed; "[]" for an empty vector.
void printVector(const std::vector<int>& v);

// Five lines, not flushed: "Time: ", "Prev State: ", "Next State: ", "Component ID: " with the
// fields, then a rule of 34 hyphens.
void printTransition(Transition t);

// printTransition for every record, in log order.
void printTransitions(const std::vector<Transition>& log);

// Writes (creating or truncating) a header line "<rows> <columns>", the column count being the
// length of row 0 (0 without rows), then every row as its elements each followed by one space.
// Then prints "Matriz salva em <filename>" on standard output. A file that cannot be opened
// gets "Erro ao abrir arquivo para escrita" on standard error instead, and nothing else happens.
// Write errors are not reported.
void saveMatrix(const std::vector<std::vector<int>>& m, const std::string& filename);

// As saveMatrix, for one line without header; the confirmation reads "Vetor salvo em <filename>".
void saveVector(const std::vector<int>& v, const std::string& filename);
