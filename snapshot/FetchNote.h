#pragma once

#include <string>
#include <vector>

// The events a run fetched into the library's local store for itself alone,
// noted in a file beside the store until the run has dropped them again. A
// run killed before that leaves its note behind; the next run takes it over
// with its events, which it then drops at its own end (and may move into
// place when it needs them). Only such events are ever noted: what the user
// keeps in the store is never in a note.
class FetchNote
{
public:
    // store: the library's data folder.
    explicit FetchNote(std::string store);

    // Before they are fetched. A note that cannot be written costs only the
    // clean-up after a kill: what kept it is said, empty when it was written.
    std::string add(const std::vector<std::string> &ids);
    // The events of the notes of runs that are gone; their notes are this
    // run's from now on.
    std::vector<std::string> adoptLeftovers();
    // Once every noted event is dropped from the store.
    void remove();

private:
    std::string m_store;
    // This run's notes: the one it writes, then those it took over.
    std::vector<std::string> m_notes;
};
