// A declaration detail read from its bytes into the members that the row, the history and the
// dictionary lookup read, and nothing else: a detail may run to the 64 MiB a reply may have, and
// what is not kept is never stored, not even as a string on its way through the parser.
#include "jsonstream.h"
#include "registryapi.h"

#include <new>
#include <utility>
#include <vector>

namespace {

// Moves the named members of from into to, in the order named; a member that is missing stays so.
void moveMembers(Json &from, Json &to, std::initializer_list<const char *> names)
{
    for (const char *name : names) {
        const auto found = from.find(name);
        if (found != from.end())
            to[name] = std::move(*found);
    }
}

// What a value is to the kept detail, by where it stands. A value narrowed as an object (or an
// array) that turns out to be of another kind is kept whole, as keptDetailMembers keeps it.
enum class Role {
    Root,                // the detail: of an object the members named in keptMemberRole
    Product,             // detail.product: of an object "identifications"
    Identifications,     // detail.product.identifications: of an array the first element
    FirstIdentification, // its first element: of an object "idTnveds"
    Applicant,           // detail.applicant: of an object the members the row and the lookup read
    Whole,               // kept as it is
    Skipped,             // nothing of it is kept
};

Role keptMemberRole(Role object, std::string_view name)
{
    switch (object) {
    case Role::Root:
        if (name == "product")
            return Role::Product;
        if (name == "applicant")
            return Role::Applicant;
        for (std::string_view kept : {"idDeclaration", "idCertificate", "number", "declRegDate", "declEndDate",
                                      "idTechnicalReglaments", "idGroups"}) {
            if (name == kept)
                return Role::Whole;
        }
        return Role::Skipped;
    case Role::Product:
        return name == "identifications" ? Role::Identifications : Role::Skipped;
    case Role::FirstIdentification:
        return name == "idTnveds" ? Role::Whole : Role::Skipped;
    case Role::Applicant:
        for (std::string_view kept : {"idLegalSubjectType", "inn", "ogrn", "fullName", "shortName", "surname",
                                      "firstName", "patronymic", "headPosition", "responsibleContacts", "contacts",
                                      "addresses"}) {
            if (name == kept)
                return Role::Whole;
        }
        return Role::Skipped;
    case Role::Whole:
        return Role::Whole;
    case Role::Identifications:
    case Role::Skipped:
        break;
    }
    return Role::Skipped;
}

// Builds the detail from the parser's events with every value that keptDetailMembers would drop
// left out (a duplicate member name keeps the last value, as the document would). Its own events
// never throw but for want of memory.
class KeptDetailBuilder
{
public:
    explicit KeptDetailBuilder(const JsonEventSource &source) : m_source(source) {}

    // The detail read, once the parse succeeded; nothing when it names no declaration.
    std::optional<Json> take()
    {
        if (!m_named)
            return std::nullopt;
        return std::move(m_root);
    }

    bool null() { return scalar(Json(nullptr)); }
    bool boolean(bool value) { return scalar(Json(value)); }
    bool number_integer(Json::number_integer_t value) { return scalar(Json(value)); }
    bool number_unsigned(Json::number_unsigned_t value) { return scalar(Json(value)); }
    bool number_float(Json::number_float_t value, const Json::string_t &) { return scalar(Json(value)); }
    bool string(Json::string_t &)
    {
        const Target target = next();
        if (target.role == Role::Root)
            return false;
        if (target.slot)
            *target.slot = decodedJsonString(m_source.lastString());
        return true;
    }
    bool binary(Json::binary_t &) { return false; } // JSON text has none
    bool start_object(std::size_t) { return open(true); }
    bool start_array(std::size_t) { return open(false); }
    bool end_object() { return close(); }
    bool end_array() { return close(); }
    bool key(Json::string_t &)
    {
        const Frame &frame = m_frames.back();
        if (frame.role == Role::Skipped) {
            m_member = {};
            return true;
        }
        std::string name = decodedJsonString(m_source.lastString());
        if (frame.role == Role::Root && (name == "idDeclaration" || name == "idCertificate"))
            m_named = true;
        const Role role = keptMemberRole(frame.role, name);
        m_member = role == Role::Skipped ? Target{} : Target{&(*frame.container)[std::move(name)], role};
        return true;
    }
    bool parse_error(std::size_t, const std::string &, const nlohmann::detail::exception &) { return false; }

private:
    struct Target
    {
        Json *slot = nullptr; // where the value goes; nullptr when it is not kept
        Role role = Role::Skipped;
    };
    struct Frame
    {
        Json *container; // nullptr for a skipped one
        Role role;
        bool array;
        std::size_t elements = 0;
    };

    // Where the value that begins now goes.
    Target next()
    {
        if (m_frames.empty())
            return {&m_root, Role::Root};
        Frame &frame = m_frames.back();
        if (!frame.array)
            return std::exchange(m_member, Target{});
        if (frame.role == Role::Skipped || (frame.role == Role::Identifications && frame.elements > 0))
            return {};
        ++frame.elements;
        frame.container->push_back(Json());
        return {&frame.container->back(),
                frame.role == Role::Identifications ? Role::FirstIdentification : Role::Whole};
    }

    bool scalar(Json &&value)
    {
        const Target target = next();
        if (target.role == Role::Root)
            return false; // a detail is an object
        if (target.slot)
            *target.slot = std::move(value);
        return true;
    }

    bool open(bool object)
    {
        // As parseJson: the container that would be nested deeper than the limit is no JSON.
        if (m_frames.size() >= std::size_t(maxJsonDepth))
            return false;
        const Target target = next();
        if (target.role == Role::Root && !object)
            return false;
        if (!target.slot) {
            m_frames.push_back({nullptr, Role::Skipped, !object});
            return true;
        }
        Role role = target.role;
        const bool narrowedAsObject = role == Role::Root || role == Role::Product || role == Role::FirstIdentification ||
                                      role == Role::Applicant;
        const bool narrowedAsArray = role == Role::Identifications;
        if (object ? !narrowedAsObject : !narrowedAsArray)
            role = Role::Whole;
        *target.slot = object ? Json::object() : Json::array();
        m_frames.push_back({target.slot, role, !object});
        return true;
    }

    bool close()
    {
        m_frames.pop_back();
        return true;
    }

    const JsonEventSource &m_source;
    Json m_root;
    std::vector<Frame> m_frames;
    Target m_member; // where the value of the member named last goes
    bool m_named = false;
};

} // namespace

Json keptDetailMembers(Json &&detail)
{
    if (!detail.is_object())
        return std::move(detail);
    Json kept = Json::object();
    moveMembers(detail, kept,
                {"idDeclaration", "idCertificate", "number", "declRegDate", "declEndDate", "idTechnicalReglaments",
                 "idGroups"});
    if (const auto product = detail.find("product"); product != detail.end()) {
        // The lookup reads product.identifications[0].idTnveds alone.
        Json keptProduct = product->is_object() ? Json::object() : std::move(*product);
        if (product->is_object()) {
            if (const auto identifications = product->find("identifications"); identifications != product->end()) {
                Json keptIdentifications = identifications->is_array() ? Json::array() : std::move(*identifications);
                if (identifications->is_array() && !identifications->empty()) {
                    Json &first = identifications->front();
                    Json keptFirst = first.is_object() ? Json::object() : std::move(first);
                    if (first.is_object())
                        moveMembers(first, keptFirst, {"idTnveds"});
                    keptIdentifications.push_back(std::move(keptFirst));
                }
                keptProduct["identifications"] = std::move(keptIdentifications);
            }
        }
        kept["product"] = std::move(keptProduct);
    }
    if (const auto applicant = detail.find("applicant"); applicant != detail.end()) {
        Json keptApplicant = applicant->is_object() ? Json::object() : std::move(*applicant);
        if (applicant->is_object())
            moveMembers(*applicant, keptApplicant,
                        {"idLegalSubjectType", "inn", "ogrn", "fullName", "shortName", "surname", "firstName",
                         "patronymic", "headPosition", "responsibleContacts", "contacts", "addresses"});
        kept["applicant"] = std::move(keptApplicant);
    }
    return kept;
}

DetailReading readKeptDeclarationDetail(const QByteArray &utf8) noexcept
{
    DetailReading reading;
    try {
        JsonEventSource source(utf8, JsonEventSource::Utf8::Strict);
        KeptDetailBuilder builder(source);
        if (source.parse(builder)) {
            // What was built holds the kept members and little else; this puts them in the order
            // and the shape keptDetailMembers gives the whole detail.
            if (std::optional<Json> detail = builder.take())
                reading.detail = keptDetailMembers(std::move(*detail));
        }
    } catch (const std::bad_alloc &) {
        reading.detail.reset();
        reading.outOfMemory = true;
    } catch (...) {
        // The parser throws nothing of its own with this builder; whatever else is no detail.
        reading.detail.reset();
    }
    return reading;
}
