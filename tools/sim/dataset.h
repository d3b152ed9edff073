#pragma once
// The data behind registry-sim: the regulation list, the declarations with their applicants, and the
// dictionaries the lookup names. Generated from a seed (the same options always give the same data)
// with the shapes of the registry's real replies: key order, value types, nulls, Cyrillic and odd
// whitespace. Search items, details and applicants are composed on demand from compact facts and
// per-item seeds, so memory grows by a few hundred bytes per declaration. Immutable once made (the
// search cache is locked): safe to read from any thread.
//
// FixtureSet is the other source: the saved replies themselves, served byte for byte.

#include <QByteArray>
#include <QDate>
#include <QList>
#include <QMap>
#include <QString>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>

using SimJson = nlohmann::ordered_json;

struct DatasetOptions
{
    int declarations = 1000;
    int applicants = 300;
    quint64 seed = 1;
    QDate today;            // the day end dates are placed around; invalid: the current date
    int windowMinDays = 30; // most declarations that end soon end in [today + min, today + max]
    int windowMaxDays = 35;
    int regulations = 120;
};

struct SimRegulation
{
    qint64 id = 0;
    QString displayName; // e.g. "ТР ТС 021/2011", unique in the list
    QString name;        // the long title, as search items list it
};

// The facts of one declaration that searching needs; its search item and its detail are composed from
// these and from the declaration's own seed (Dataset::searchItem, Dataset::detail).
struct SimDeclaration
{
    qint64 id = 0;
    int status = 6;
    QDate endDate;
    QList<qint64> regulationIds; // idTechnicalReglaments, drawn from the regulation list; may be empty
    int applicant = 0;           // index of the applicant
    bool national = false;       // a national declaration ("ВП RU"), without regulations
};

// Search filter as the search endpoint reads it from a request body.
struct SimSearchFilter
{
    QList<int> statuses;       // empty: any status
    QDate minEndDate;          // invalid: open
    QDate maxEndDate;          // invalid: open
    QList<qint64> regulations; // empty: any; else at least one of them
};

class Dataset
{
public:
    static Dataset generate(const DatasetOptions &options);

    Dataset();
    ~Dataset();
    Dataset(const Dataset &);
    Dataset &operator=(const Dataset &);
    Dataset(Dataset &&) noexcept;
    Dataset &operator=(Dataset &&) noexcept;

    const DatasetOptions &options() const; // with today filled in
    QDate today() const;
    QDate windowStart() const; // today + windowMinDays
    QDate windowEnd() const;   // today + windowMaxDays

    const QList<SimRegulation> &regulations() const;
    const QList<SimDeclaration> &declarations() const; // ascending id
    const SimDeclaration *declaration(qint64 id) const;
    int applicantCount() const;

    // The declarations that pass the filter, ascending id.
    QList<const SimDeclaration *> search(const SimSearchFilter &filter) const;
    static bool matches(const SimDeclaration &declaration, const SimSearchFilter &filter);

    // One element of a search page's "items", and the detail reply, in the shapes of the real replies.
    // withApplicantInn: the shape items have had since 2025, "applicantInn" beside "applicantName".
    SimJson searchItem(const SimDeclaration &declaration, bool withApplicantInn = false) const;
    SimJson detail(const SimDeclaration &declaration) const;

    // The multi reply for the "items" member of a lookup request: every dictionary asked for, with an
    // entry for each requested id that it knows (unknown ids and nulls give nothing).
    SimJson lookup(const SimJson &requestItems) const;

private:
    struct Data;
    std::shared_ptr<const Data> d;
};

// The saved replies of a fixtures folder (its registry/ subfolder, or the folder itself), served
// verbatim: search page p is search-(p+1).json, a detail is the detail file whose idDeclaration is the
// id asked for, and the k-th item of the search pages (which has no saved detail of its own) answers
// with the k-th detail file; the lookup after detail file k answers with multi-k.json.
struct FixtureSet
{
    QList<QByteArray> searchPages;
    QList<QByteArray> details;
    QList<qint64> detailIds;     // idDeclaration of each detail file
    QList<qint64> searchItemIds; // ids of the search pages' items, in page order
    QList<QByteArray> lookups;   // multi-1.json, multi-2.json, ...

    // Nothing, with a text, when a file cannot be read or is not the reply it should be.
    static std::optional<FixtureSet> load(const QString &folder, QString *error = nullptr);
    // Index of the detail file that answers for an id, or -1.
    int detailIndex(qint64 id) const;
};
