// Row composition: the saved registry details with dictionary texts made from the saved lookup
// replies give the expected 21 cells; then the rules one at a time on small made-up details.
#include "fixtures.h"
#include "qtprinters.h"
#include "registryapi.h"
#include "rowcomposer.h"

#include <gtest/gtest.h>

namespace {

const QString kRegistry = QStringLiteral("https://pub.fsa.gov.ru");
const QStringList kRegulations = {QStringLiteral("27=ТР ТС 021/2011 О безопасности пищевой продукции"),
                                  QStringLiteral("28=ТР ЕАЭС 040/2016 О безопасности рыбы")};

Json detailFixture(int n)
{
    const std::optional<Json> detail = parseJson(readFixture(QStringLiteral("registry/detail-%1.json").arg(n)));
    EXPECT_TRUE(detail && detail->is_object());
    return detail.value_or(Json::object());
}

// A lookup reply as the registry sends it (compact JSON): the saved reply with the dictionaries
// the row reads added in their real shapes.
QString lookupText(int n, const Json &extra)
{
    std::optional<Json> reply = parseJson(readFixture(QStringLiteral("registry/multi-%1.json").arg(n)));
    EXPECT_TRUE(reply.has_value());
    Json text = reply.value_or(Json::object());
    for (const auto &[key, value] : extra.items())
        text[key] = value;
    const std::string dumped = text.dump();
    return QString::fromUtf8(dumped.data(), qsizetype(dumped.size()));
}

Json parse(const char *text)
{
    const std::optional<Json> json = parseJson(QByteArray(text));
    EXPECT_TRUE(json.has_value()) << text;
    return json.value_or(Json::object());
}

QStringList cellsOf(const Json &detail, const QString &dictionary = {}, const QStringList &regulations = kRegulations)
{
    const QString row = ComposeRow(detail, dictionary.toUtf8(), declarationLink(kRegistry, detail), regulations);
    return row.split(QLatin1Char('\t'));
}

TEST(RowComposer, SavedDetailsGiveTheExpectedCells)
{
    const Json applicantType = Json::parse(R"([{"id":1,"name":"Юридическое лицо","masterId":"1"}])");
    const Json tnved = Json::parse(R"([{"hidden":false,"code":"1704909900","id":5,"name":"Прочие","masterId":"5"}])");
    const Json fias = Json::parse(
        R"([{"shortname":"обл","id":"6d1ebb35","aolevel":1,"masterId":"6d1ebb35","offname":"Ленинградская"}])");

    struct Case
    {
        int detail;
        QString dictionary;
        QStringList cells;
    };
    const Case cases[] = {
        {1,
         lookupText(1, {{"applicantType", applicantType}, {"fiasAddrobj", fias}, {"tnved", tnved}}),
         {QStringLiteral("https://pub.fsa.gov.ru/rds/declaration/view/17639770/applicant"),
          QStringLiteral("ЕАЭС N RU Д-RU.РА03.В.40610/23"),
          QStringLiteral("2023-04-24"),
          QStringLiteral("2026-04-20"),
          QStringLiteral("ТР ЕАЭС 040/2016 О безопасности рыбы"),
          QString(),
          QStringLiteral("1704909900 Прочие"),
          QStringLiteral("Юридическое лицо"),
          QStringLiteral("1027838006350"),
          QStringLiteral("7887463387"),
          QStringLiteral("ОБЩЕСТВО С ОГРАНИЧЕННОЙ ОТВЕТСТВЕННОСТЬЮ \"ВОЛХОВ\""),
          QStringLiteral("ООО \"ВОЛХОВ\""),
          QStringLiteral("ПЕТРОВ"),
          QStringLiteral("АНДРЕЙ"),
          QStringLiteral("БОРИСОВИЧ"),
          QStringLiteral("ГЕНЕРАЛЬНЫЙ ДИРЕКТОР"),
          QStringLiteral("обл Ленинградская"),
          QStringLiteral("187091, РОССИЯ, ОБЛАСТЬ ЛЕНИНГРАДСКАЯ, ТОСНЕНСКИЙ Р-Н, Г. ТОСНО, НАБ. ЛЕСНАЯ, Д. 7"),
          QString(),
          QStringLiteral("+78467424236"),
          QStringLiteral("Gekerek-minef7586@example.ru")}},
        // No tnved and no region in the lookup: cells 7 and 17 hold the joining space alone.
        {2,
         lookupText(2, {{"applicantType", applicantType}}),
         {QStringLiteral("https://pub.fsa.gov.ru/rds/declaration/view/17692047/applicant"),
          QStringLiteral("ЕАЭС N RU Д-KR.РА03.В.85430/23"),
          QStringLiteral("2023-05-15"),
          QStringLiteral("2030-05-14"),
          QStringLiteral("ТР ЕАЭС 040/2016 О безопасности рыбы"),
          QStringLiteral("Сахаристые кондитерские изделия (в том числе диабетические), восточные сладости, жевательная "
                         "резинка"),
          QStringLiteral(" "),
          QStringLiteral("Юридическое лицо"),
          QStringLiteral("1126636276502"),
          QStringLiteral("6664222467"),
          QStringLiteral("ОБЩЕСТВО С ОГРАНИЧЕННОЙ ОТВЕТСТВЕННОСТЬЮ \"ИНВЕСТИЦИОННАЯ КОМПАНИЯ \"ВУОКСА МСТА ГРУПП\""),
          QStringLiteral("ООО \"ИК \"ВУОКСА МСТА ГРУПП\""),
          QStringLiteral("Смирнов"),
          QStringLiteral("Сергей"),
          QStringLiteral("Вадимович"),
          QStringLiteral("Директор"),
          QStringLiteral(" "),
          QStringLiteral("620722, Россия, область Свердловская, город Екатеринбург, улица Победы И Дружбы, Дом 71, "
                         "Офис 953"),
          QString(),
          QStringLiteral("+73918213739"),
          QStringLiteral("vakesu@example.ru")}},
        // Empty regulation list of the declaration; a lookup with a "status" dictionary only.
        {3,
         lookupText(3, Json::object()),
         {QStringLiteral("https://pub.fsa.gov.ru/rds/declaration/view/17695724/applicant"),
          QStringLiteral("ВП RU Д-CN.РА01.А.43766/23"),
          QStringLiteral("2023-05-16"),
          QStringLiteral("2023-11-15"),
          QString(),
          QString(),
          QStringLiteral(" "),
          QString(),
          QStringLiteral("1057823728775"),
          QStringLiteral("7886781002"),
          QStringLiteral("АКЦИОНЕРНОЕ ОБЩЕСТВО \"ЛОВАТЬ ШЕКСНА ГРУП\""),
          QStringLiteral("АО \"ЛОВАТЬ ШЕКСНА ГРУП\""),
          QStringLiteral("Соколов"),
          QStringLiteral("Дмитрий"),
          QStringLiteral("Григорьевич"),
          QStringLiteral("Генеральный директор"),
          QStringLiteral(" "),
          QStringLiteral("190761, Россия, город Санкт-Петербург, улица 80-я Полевая, дом 20, литер А, помещение 4-Н, 5 "
                         "этаж"),
          QString(),
          QStringLiteral("+78058322065"),
          QStringLiteral("vaniberun@example.com")}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.detail);
        ASSERT_EQ(c.cells.size(), ResultColumnCount);
        const QStringList cells = cellsOf(detailFixture(c.detail), c.dictionary);
        ASSERT_EQ(cells.size(), ResultColumnCount);
        for (int i = 0; i < ResultColumnCount; ++i)
            EXPECT_EQ(cells[i], c.cells[i]) << "cell " << i + 1;
    }
}

TEST(RowComposer, RegulationNamesByIdWithGapsForUnknownIds)
{
    const QStringList regulations = {QStringLiteral("1=A"), QStringLiteral("2=B"), QStringLiteral("ab=C"),
                                     QStringLiteral("1=second A")};
    const struct
    {
        const char *ids;
        const char *cell;
    } cases[] = {
        {"[]", ""},       {"[1,2]", "A,B"}, {"[1,99]", "A,"},  {"[99,1]", ",A"}, {"[99]", ""},
        {"[99,98]", ","}, {"[\"2\"]", "B"}, {"[\"AB\"]", "C"}, {"[1,1]", "A,A"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.ids);
        const Json detail = parse((std::string(R"({"idTechnicalReglaments":)") + c.ids + "}").c_str());
        EXPECT_EQ(cellsOf(detail, {}, regulations).at(4), QString::fromUtf8(c.cell));
    }
}

TEST(RowComposer, NullsAreEmptyOnlyInTheNameCells)
{
    const Json detail = parse(R"({"idDeclaration":null,"number":null,"declRegDate":null,"applicant":{
        "ogrn":null,"inn":null,"fullName":null,"shortName":null,"surname":null,"firstName":null,"patronymic":null,
        "headPosition":"null","addresses":[{"idAddrType":1,"fullAddress":null}],
        "contacts":[{"idContactType":1,"value":null}]}})");
    const QStringList cells = cellsOf(detail);
    EXPECT_EQ(cells[0], QStringLiteral("https://pub.fsa.gov.ru/rds/declaration/view/null/applicant"));
    EXPECT_EQ(cells[1], QStringLiteral("null"));
    EXPECT_EQ(cells[2], QStringLiteral("null"));
    EXPECT_EQ(cells[3], QString());
    EXPECT_EQ(cells[8], QStringLiteral("null"));
    EXPECT_EQ(cells[9], QStringLiteral("null"));
    for (int i = 10; i <= 15; ++i)
        EXPECT_EQ(cells[i], QString()) << "cell " << i + 1;
    EXPECT_EQ(cells[17], QStringLiteral("null"));
    EXPECT_EQ(cells[19], QStringLiteral("null"));
}

TEST(RowComposer, AddressesByTypeFirstMatchWins)
{
    const Json detail = parse(R"({"applicant":{"addresses":[
        {"idAddrType":3,"fullAddress":"business"},
        {"idAddrType":"1","fullAddress":"seat"},
        {"idAddrType":1,"fullAddress":"second seat"},
        {"idAddrType":3,"fullAddress":"second business"}]}})");
    const QStringList cells = cellsOf(detail);
    EXPECT_EQ(cells[17], QStringLiteral("seat"));
    EXPECT_EQ(cells[18], QStringLiteral("business"));
}

TEST(RowComposer, ContactsFromTheResponsiblePersonThenTheApplicant)
{
    const struct
    {
        const char *name;
        const char *applicant;
        const char *phone;
        const char *mail;
    } cases[] = {
        {"empty responsible value falls through",
         R"({"responsibleContacts":[{"idContactType":1,"value":""}],
             "contacts":[{"idContactType":1,"value":"+7900"},{"idContactType":4,"value":"a@b.ru"}]})",
         "+7900", "a@b.ru"},
        {"responsible value hides the general ones",
         R"({"responsibleContacts":[{"idContactType":1,"value":"+7111"}],
             "contacts":[{"idContactType":1,"value":"+7900"}]})",
         "+7111", ""},
        {"first of its type; other types skipped",
         R"({"responsibleContacts":[{"idContactType":2,"value":"fax"},{"idContactType":"4","value":"x@y.ru"},
                                    {"idContactType":4,"value":"later@y.ru"}],
             "contacts":[]})",
         "", "x@y.ru"},
        {"responsible list null", R"({"responsibleContacts":null,"contacts":[{"idContactType":1,"value":"+7"}]})", "+7",
         ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const Json detail = parse((std::string(R"({"applicant":)") + c.applicant + "}").c_str());
        const QStringList cells = cellsOf(detail);
        EXPECT_EQ(cells[19], QString::fromUtf8(c.phone));
        EXPECT_EQ(cells[20], QString::fromUtf8(c.mail));
    }
}

// Members that are absent, null or of another type than an array still give a full row.
TEST(RowComposer, OddMembersStillGiveTwentyOneCells)
{
    const char *details[] = {
        R"({})",
        R"({"idTechnicalReglaments":null,"applicant":null})",
        R"({"idTechnicalReglaments":"28","applicant":{"addresses":{"idAddrType":1},"contacts":"+7",
            "responsibleContacts":7}})",
        R"({"idTechnicalReglaments":[{"id":28}],"applicant":{"addresses":[null,5,"1"],"contacts":[[1]]}})",
        R"([1,2,3])",
    };
    for (const char *text : details) {
        SCOPED_TRACE(text);
        const QStringList cells = cellsOf(parse(text), QStringLiteral("{\"tnved\":5}"));
        ASSERT_EQ(cells.size(), ResultColumnCount);
        EXPECT_EQ(cells[6], QStringLiteral(" "));
        EXPECT_EQ(cells[17], QString());
        EXPECT_EQ(cells[19], QString());
    }
}

// The dictionary reply is read as text: a value runs from its marker to the next quotation mark,
// escapes stay as they came, and a reply that is no JSON at all leaves the dictionary cells empty.
TEST(RowComposer, DictionaryValuesAreTakenVerbatimUpToTheFirstQuote)
{
    const QString compact = QStringLiteral(
        R"({"validationFormNormDoc":[{"name":"не то"}],"applicantType":[{"id":1,"name":"ИП \"Иванов\""}],)"
        R"("tnved":[{"code":"2106","id":1,"name":"Прочие\/иные"}],"techregProductListEEU":[{"name":"Соусы\u0020"}],)"
        R"("fiasAddrobj":[{"shortname":"г","offname":"Москва"}]})");
    const QString pretty = QStringLiteral(R"({
    "validationFormNormDoc": [ { "name": "не то" } ],
    "applicantType": [
        {
            "id": 1,
            "name": "ИП \"Иванов\""
        }
    ],
    "tnved": [ { "code": "2106", "id": 1, "name": "Прочие\/иные" } ],
    "techregProductListEEU": [ { "name": "Соусы\u0020" } ],
    "fiasAddrobj": [ { "shortname": "г", "offname": "Москва" } ]
}
)");
    const QStringList read = {QStringLiteral("Соусы\\u0020"), QStringLiteral("2106 Прочие\\/иные"),
                              QStringLiteral("ИП \\"), QStringLiteral("г Москва")};
    const QStringList empty = {QString(), QStringLiteral(" "), QString(), QStringLiteral(" ")};
    struct Case
    {
        const char *name;
        QString reply;
        QStringList cells; // cells 6, 7, 8 and 17
    };
    const Case cases[] = {
        {"compact", compact, read},
        {"compact, ending in a line feed", compact + QLatin1Char('\n'), read},
        {"compact, with \": \" inside a name",
         QString(compact).replace(QStringLiteral("не то"), QStringLiteral("не то\\\": x")), read},
        {"pretty-printed: the blanks between tokens go, the escapes stay", pretty, read},
        {"an HTML page", QStringLiteral("<html><body><h1>502 Bad Gateway</h1></body></html>"), empty},
        {"an error text", QStringLiteral(R"({"error":"Internal Server Error","status":500})"), empty},
        {"empty", QString(), empty},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const QStringList cells = cellsOf(Json::object(), c.reply);
        EXPECT_EQ((QStringList{cells[5], cells[6], cells[7], cells[16]}), c.cells);
    }
}

// The reply is read from its bytes as its decoded text would be read: an ill-formed byte is one
// U+FFFD in a cell, a byte-order mark inside a value stays, and a reply laid out with blanks is
// JSON (and loses them) when its decoded text is, ill-formed bytes inside its strings included.
TEST(RowComposer, DictionaryBytesReadAsTheirDecodedText)
{
    const struct
    {
        const char *name;
        QByteArray reply;
        QString cell; // cell 8, the applicant type
    } cases[] = {
        {"Cyrillic", "{\"applicantType\":[{\"name\":\"Юр. лицо\"}]}", QStringLiteral("Юр. лицо")},
        {"ill-formed bytes", "{\"applicantType\":[{\"name\":\"Ю\xFF\xFEр\"}]}", QStringLiteral("Ю\uFFFD\uFFFDр")},
        {"a sequence cut by the closing quote", "{\"applicantType\":[{\"name\":\"ab\xD0\"}]}",
         QStringLiteral("ab\uFFFD")},
        {"a byte-order mark opening the value", "{\"applicantType\":[{\"name\":\"\xEF\xBB\xBFЮр\"}]}",
         QStringLiteral("\uFEFFЮр")},
        {"Windows-1251 text", "{\"applicantType\":[{\"name\":\"\xDE\xF0\"}]}", QStringLiteral("\uFFFD\uFFFD")},
        {"pretty-printed, an ill-formed byte inside a string",
         "{ \"applicantType\": [ { \"id\": 1, \"name\": \"a\xFF b\" } ] }", QStringLiteral("a\uFFFD b")},
        {"pretty-printed, an ill-formed byte between tokens",
         "{ \"applicantType\": [ { \"id\": 1, \"name\": \"a\" } ] \xFF}", QString()},
        {"pretty-printed after a byte-order mark", "\xEF\xBB\xBF{ \"applicantType\": [ { \"name\": \"x\" } ] }",
         QStringLiteral("x")},
        {"pretty-printed, nested too deep to be JSON",
         "{ \"applicantType\": [ { \"name\": \"x\" } ], \"d\": " + QByteArray(100, '[') + QByteArray(100, ']') + "}",
         QString()},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const QStringList cells =
            ComposeRow(Json::object(), c.reply, declarationLink(kRegistry, Json::object()), kRegulations)
                .split(QLatin1Char('\t'));
        ASSERT_EQ(cells.size(), ResultColumnCount);
        EXPECT_EQ(cells[7], c.cell);
    }
}

TEST(RowComposer, PrettyPrintedDictionaryReadsLikeACompactOne)
{
    const Json extra = parse(R"({"applicantType":[{"id":1,"masterId":"1","name":"Юридическое лицо"}],)"
                             R"("tnved":[{"id":7,"code":"2106909809","name":"Прочие"}],)"
                             R"("fiasAddrobj":[{"shortname":"г","offname":"Москва"}]})");
    const QString compact = lookupText(2, extra);
    const std::optional<Json> parsed = parseJson(compact);
    ASSERT_TRUE(parsed.has_value());
    const QString pretty = QString::fromStdString(parsed->dump(4));
    ASSERT_TRUE(pretty.contains(QStringLiteral("\"name\": \"")));

    const Json detail = detailFixture(1);
    const QStringList fromCompact = cellsOf(detail, compact);
    EXPECT_EQ(cellsOf(detail, pretty), fromCompact);
    EXPECT_EQ(fromCompact[6], QStringLiteral("2106909809 Прочие"));
    EXPECT_EQ(fromCompact[7], QStringLiteral("Юридическое лицо"));
    EXPECT_EQ(fromCompact[16], QStringLiteral("г Москва"));
}

// TAB, CR and LF inside a value would add cells or lines to the table; each run becomes a space.
TEST(RowComposer, LineBreaksAndTabsInsideValuesBecomeSpaces)
{
    const Json detail = parse(R"({"idDeclaration":"1\n2","number":"N\t1","applicant":{
        "fullName":"ООО\r\n\"Ромашка\"","shortName":"\t\t","addresses":[{"idAddrType":1,"fullAddress":"a\rb\nc"}]}})");
    const QString dictionary = QStringLiteral("{\"applicantType\":[{\"name\":\"Юр\tлицо\r\n\"}]}");
    const QString link = declarationLink(kRegistry, detail);
    EXPECT_EQ(link, QStringLiteral("https://pub.fsa.gov.ru/rds/declaration/view/1 2/applicant"));
    const QString row = ComposeRow(detail, dictionary.toUtf8(), link, kRegulations);
    EXPECT_FALSE(row.contains(QLatin1Char('\r')));
    EXPECT_FALSE(row.contains(QLatin1Char('\n')));
    const QStringList cells = row.split(QLatin1Char('\t'));
    ASSERT_EQ(cells.size(), ResultColumnCount);
    EXPECT_EQ(cells[1], QStringLiteral("N 1"));
    EXPECT_EQ(cells[7], QStringLiteral("Юр лицо "));
    EXPECT_EQ(cells[10], QStringLiteral("ООО \"Ромашка\""));
    EXPECT_EQ(cells[11], QStringLiteral(" "));
    EXPECT_EQ(cells[17], QStringLiteral("a b c"));
}

TEST(RowComposer, HeaderLine)
{
    EXPECT_EQ(resultHeaderLine(),
              QStringLiteral("Ссылка на декларацию\tРегистрационный номер декларации\tДата регистрации "
                             "декларации\tДата окончания действия декларации\tТехнические регламенты\tГруппа "
                             "продукции ЕАЭС\tКод ТН ВЭД ЕАЭС\tТип заявителя\tОГРН заявителя\tИНН "
                             "заявителя\tПолное наименование юридического лица\tСокращенное наименование "
                             "юридического лица\tФамилия руководителя\tИмя руководителя\tОтчество "
                             "руководителя\tДолжность руководителя\tРегион\tАдрес места нахождения\tАдрес места "
                             "осуществления деятельности\tНомер телефона\tАдрес электронной почты"));
    EXPECT_EQ(resultHeaderLine().split(QLatin1Char('\t')).size(), ResultColumnCount);
}

} // namespace

// What a worker keeps of a detail (keptDetailMembers) gives the same row, the same link and the
// same lookup body as the whole detail: the saved details, and made-up ones whose members have odd
// shapes (a product or an applicant that is no object, identifications that are empty or hold no
// object, members missing) or carry what the row never reads.
TEST(RowComposer, KeptMembersOfADetailGiveTheSameRowByteForByte)
{
    QList<Json> details;
    for (int n = 1; n <= 3; ++n)
        details.append(detailFixture(n));
    for (const char *text : {
             R"({"idDeclaration":1,"product":"x","applicant":"y","pad":"zzz"})",
             R"({"idDeclaration":2,"idGroups":[1],"product":{"identifications":[]},"applicant":{"inn":"1"}})",
             R"({"idDeclaration":3,"idGroups":[1],"product":{"identifications":[5,{"idTnveds":[1]}]},"applicant":{}})",
             R"({"idDeclaration":4,"idGroups":[1],"product":{"identifications":[{"idTnveds":[7],"other":1}],"x":2},)"
             R"("applicant":{"inn":"7700000004","idLegalSubjectType":2,"addresses":[{"idAddrType":1,"idSubject":"a",)"
             R"("fullAddress":"г. Москва"}],"contacts":[{"idContactType":1,"value":"+7 495"}],"documents":[1,2,3]},)"
             R"("docs":{"huge":"text"},"number":"ЕАЭС N RU Д-RU.1","declEndDate":null})",
             R"({"idCertificate":5})",
         })
        details.append(parse(text));
    for (qsizetype i = 0; i < details.size(); ++i) {
        SCOPED_TRACE(i);
        const Json &whole = details[i];
        const Json kept = keptDetailMembers(Json(whole));
        const QByteArray dictionary = lookupText(1, Json::object()).toUtf8();
        EXPECT_EQ(ComposeRow(kept, dictionary, declarationLink(kRegistry, kept), kRegulations),
                  ComposeRow(whole, dictionary, declarationLink(kRegistry, whole), kRegulations));
        const LookupBody keptBody = lookupBody(kept);
        const LookupBody wholeBody = lookupBody(whole);
        EXPECT_EQ(keptBody.ok, wholeBody.ok);
        EXPECT_EQ(keptBody.body, wholeBody.body);
        EXPECT_EQ(keptBody.error, wholeBody.error);
        EXPECT_LE(kept.dump().size(), whole.dump().size());
    }
}
