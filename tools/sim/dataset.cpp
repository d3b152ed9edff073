#include "dataset.h"

#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QSet>
#include <algorithm>
#include <array>
#include <mutex>
#include <string>

using namespace Qt::StringLiterals;

namespace {

// Seeded draws. QRandomGenerator with a seed buffer is a Mersenne twister whose output, and Qt's
// bounded(), do not depend on the platform, so a seed gives the same data everywhere.
class Rng
{
public:
    Rng(quint64 a, quint64 b = 0)
    {
        const std::array<quint32, 4> seed{quint32(a), quint32(a >> 32), quint32(b), quint32(b >> 32)};
        m_gen = QRandomGenerator(seed.data(), qsizetype(seed.size()));
    }
    int below(int n) { return n <= 1 ? 0 : int(m_gen.bounded(quint32(n))); }
    int between(int low, int high) { return low + below(high - low + 1); }
    bool chance(int percent) { return below(100) < percent; }
    QString digits(int count)
    {
        QString text;
        for (int i = 0; i < count; ++i)
            text += QChar(u'0' + below(10));
        return text;
    }
    template <typename T, std::size_t N> const T &pick(const T (&table)[N]) { return table[below(int(N))]; }

private:
    QRandomGenerator m_gen;
};

std::string s(const QString &text)
{
    return text.toStdString();
}

QString q(const char *utf8)
{
    return QString::fromUtf8(utf8);
}

// "Ладога групп" style from "ЛАДОГА ГРУПП": each word capitalised.
QString capitalised(const QString &upper)
{
    QString out = upper.toLower();
    bool start = true;
    for (QChar &c : out) {
        if (start && c.isLetter())
            c = c.toUpper();
        start = !c.isLetter();
    }
    return out;
}

struct RegulationRow
{
    qint64 id;
    const char *docNum;
    const char *name;
};

// Real regulation numbers and titles; the first rows are the ones most declarations cite.
const RegulationRow kRegulations[] = {
    {27, "ТР ТС 021/2011", "О безопасности пищевой продукции"},
    {97161, "ТР ТС 022/2011", "Пищевая продукция в части ее маркировки"},
    {23, "ТР ТС 029/2012",
     "Требования безопасности пищевых добавок, ароматизаторов и технологических вспомогательных средств"},
    {28, "ТР ТС 009/2011", "О безопасности парфюмерно-косметической продукции"},
    {36, "ТР ТС 017/2011", "О безопасности продукции легкой промышленности"},
    {13, "ТР ТС 004/2011", "О безопасности низковольтного оборудования"},
    {39, "ТР ТС 020/2011", "Электромагнитная совместимость технических средств"},
    {19, "ТР ТС 010/2011", "О безопасности машин и оборудования"},
    {32, "ТР ТС 015/2011", "О безопасности зерна"},
    {4516872, "ТР ЕАЭС 051/2021", "О безопасности мяса птицы и продукции его переработки"},
    {14, "ТР ТС 005/2011", "О безопасности упаковки"},
    {16, "ТР ТС 007/2011", "О безопасности продукции, предназначенной для детей и подростков"},
    {17, "ТР ТС 008/2011", "О безопасности игрушек"},
    {10, "ТР ТС 001/2011", "О безопасности железнодорожного подвижного состава"},
    {11, "ТР ТС 002/2011", "О безопасности высокоскоростного железнодорожного транспорта"},
    {12, "ТР ТС 003/2011", "О безопасности инфраструктуры железнодорожного транспорта"},
    {20, "ТР ТС 011/2011", "Безопасность лифтов"},
    {21, "ТР ТС 012/2011", "О безопасности оборудования для работы во взрывоопасных средах"},
    {22, "ТР ТС 013/2011",
     "О требованиях к автомобильному и авиационному бензину, дизельному и судовому топливу, топливу для "
     "реактивных двигателей и мазуту"},
    {24, "ТР ТС 014/2011", "Безопасность автомобильных дорог"},
    {25, "ТР ТС 016/2011", "О безопасности аппаратов, работающих на газообразном топливе"},
    {26, "ТР ТС 018/2011", "О безопасности колесных транспортных средств"},
    {29, "ТР ТС 019/2011", "О безопасности средств индивидуальной защиты"},
    {30, "ТР ТС 023/2011", "Технический регламент на соковую продукцию из фруктов и овощей"},
    {31, "ТР ТС 024/2011", "Технический регламент на масложировую продукцию"},
    {33, "ТР ТС 025/2012", "О безопасности мебельной продукции"},
    {34, "ТР ТС 026/2012", "О безопасности маломерных судов"},
    {35, "ТР ТС 027/2012",
     "О безопасности отдельных видов специализированной пищевой продукции, в том числе диетического лечебного и "
     "диетического профилактического питания"},
    {37, "ТР ТС 028/2012", "О безопасности взрывчатых веществ и изделий на их основе"},
    {38, "ТР ТС 030/2012", "О требованиях к смазочным материалам, маслам и специальным жидкостям"},
    {40, "ТР ТС 031/2012", "О безопасности сельскохозяйственных и лесохозяйственных тракторов и прицепов к ним"},
    {41, "ТР ТС 032/2013", "О безопасности оборудования, работающего под избыточным давлением"},
    {42, "ТР ТС 033/2013", "О безопасности молока и молочной продукции"},
    {43, "ТР ТС 034/2013", "О безопасности мяса и мясной продукции"},
    {44, "ТР ТС 035/2014", "Технический регламент на табачную продукцию"},
    {97162, "ТР ЕАЭС 036/2016", "Требования к сжиженным углеводородным газам для использования их в качестве топлива"},
    {97163, "ТР ЕАЭС 037/2016",
     "Об ограничении применения опасных веществ в изделиях электротехники и радиоэлектроники"},
    {97164, "ТР ЕАЭС 038/2016", "О безопасности аттракционов"},
    {97165, "ТР ЕАЭС 039/2016", "О требованиях к минеральным удобрениям"},
    {97166, "ТР ЕАЭС 040/2016", "О безопасности рыбы и рыбной продукции"},
    {97167, "ТР ЕАЭС 041/2017", "О безопасности химической продукции"},
    {97168, "ТР ЕАЭС 042/2017", "О безопасности оборудования для детских игровых площадок"},
    {97169, "ТР ЕАЭС 043/2017", "О требованиях к средствам обеспечения пожарной безопасности и пожаротушения"},
    {97170, "ТР ЕАЭС 044/2017", "О безопасности упакованной питьевой воды, включая природную минеральную воду"},
    {97171, "ТР ЕАЭС 045/2017", "О безопасности нефти, подготовленной к транспортировке и (или) использованию"},
    {97172, "ТР ЕАЭС 046/2018", "О безопасности природного горючего газа для использования в качестве топлива"},
    {97173, "ТР ЕАЭС 047/2018", "О безопасности алкогольной продукции"},
    {97174, "ТР ЕАЭС 048/2019", "О требованиях к энергетической эффективности энергопотребляющих устройств"},
    {97175, "ТР ЕАЭС 049/2020",
     "О требованиях к магистральным трубопроводам для транспортирования жидких и газообразных углеводородов"},
    {4516871, "ТР ЕАЭС 050/2021",
     "О безопасности продукции, предназначенной для гражданской обороны и защиты от чрезвычайных ситуаций"},
};
constexpr int kPopularRegulations = 8;

struct RegionRow
{
    const char *innCode; // first two digits of INN, OGRN and KPP
    const char *guid;    // FIAS id of the region
    const char *shortname;
    const char *offname;
    const char *upper; // region and town as upper-case addresses write them
    const char *mixed;
    const char *post; // first two digits of the postcode
};

const RegionRow kRegions[] = {
    {"78", "c2deb16a-0330-4f05-821f-1d09c93331e6", "г", "Санкт-Петербург", "Г.САНКТ-ПЕТЕРБУРГ", "город Санкт-Петербург",
     "19"},
    {"77", "0c5b2444-70a0-4932-980c-b4dc0d3f02b5", "г", "Москва", "Г.МОСКВА", "г. Москва", "11"},
    {"47", "6d1ebb35-70c6-4129-bd55-da3969658f5d", "обл", "Ленинградская",
     "ОБЛАСТЬ ЛЕНИНГРАДСКАЯ, ТОСНЕНСКИЙ Р-Н, Г. ТОСНО", "Ленинградская обл, Тосненский р-н, г Тосно", "18"},
    {"66", "92b30014-4d52-4e2e-892d-928142b924bf", "обл", "Свердловская", "ОБЛАСТЬ СВЕРДЛОВСКАЯ, Г. ЕКАТЕРИНБУРГ",
     "область Свердловская, город Екатеринбург", "62"},
    {"61", "f10763dc-63e3-48db-83e1-9c566fe3092b", "обл", "Ростовская", "ОБЛАСТЬ РОСТОВСКАЯ, Г. ШАХТЫ",
     "Ростовская обл, г Шахты", "34"},
    {"50", "29251dcf-00a1-4e34-98d4-5c47484a36d4", "обл", "Московская", "ОБЛАСТЬ МОСКОВСКАЯ, Г. ПОДОЛЬСК",
     "Московская обл, г Подольск", "14"},
    {"16", "0c089b04-099e-4e0e-955a-6bf1ce525f1a", "Респ", "Татарстан", "РЕСПУБЛИКА ТАТАРСТАН, Г. КАЗАНЬ",
     "Респ Татарстан, г Казань", "42"},
    {"23", "d00e1013-16bd-4c09-b3d5-3cb09fc54bd8", "край", "Краснодарский", "КРАЙ КРАСНОДАРСКИЙ, Г. КРАСНОДАР",
     "Краснодарский край, г Краснодар", "35"},
    {"54", "1ac46b49-3209-4814-b7bf-a509ea1aecd9", "обл", "Новосибирская", "ОБЛАСТЬ НОВОСИБИРСКАЯ, Г. НОВОСИБИРСК",
     "Новосибирская обл, г Новосибирск", "63"},
    {"02", "6f2cbfd8-692a-4ee4-9b16-067210bde3fc", "Респ", "Башкортостан", "РЕСПУБЛИКА БАШКОРТОСТАН, Г. УФА",
     "Респ Башкортостан, г Уфа", "45"},
    {"25", "43909681-d6e1-432d-b61f-ddac393cb5da", "край", "Приморский", "КРАЙ ПРИМОРСКИЙ, Г. ВЛАДИВОСТОК",
     "Приморский край, г Владивосток", "69"},
};
constexpr int kBashkortostan = 9; // INN region "02": INNs with a leading zero

struct TnvedRow
{
    qint64 id;
    const char *code;
    const char *name;
};

const TnvedRow kTnveds[] = {
    {64982, "3401110000", "Для туалетных целей (включая средства, содержащие лекарственные вещества)"},
    {64954, "3304990000", "Прочие"},
    {68711, "2208301100", "В сосудах емкостью 2 л или менее"},
    {66201, "2106909808", "Прочие"},
    {51234, "1905310000", "Печенье сладкое (с добавлением подсластителя)"},
    {52876, "0402101100", "В первичных упаковках, нетто-масса которых не более 2,5 кг"},
    {71003, "6109100000", "Из хлопчатобумажной пряжи"},
    {73311, "8516310000", "Фены"},
    {74120, "8471300000", "Машины вычислительные цифровые портативные массой не более 10 кг"},
    {69405, "9503007000", "Прочие игрушки, представленные в наборах или комплектах"},
    {70021, "3926909709", "Прочие"},
    {75500, "8421210009", "Прочие"},
    {76610, "6403990000", "Прочая обувь"},
    {77777, "1704909900", "Прочие \"сахаристые\" кондитерские изделия"}, // a quote inside a name
};

struct ProductRow
{
    const char *name;
    int tnved; // index into kTnveds
    const char *fullName;
};

const ProductRow kProducts[] = {
    {"Салфетки влажные очищающие для рук", 0, "Косметическое средство для ухода за кожей: "},
    {"Крем для лица увлажняющий", 1, "Парфюмерно-косметическая продукция: кремы для лица, торговой марки «AQUA  VITA»"},
    {"виски", 2,
     "Виски зерновой, объемная доля этилового спирта 40%, стеклянная бутылка 0,7 л.\n\n Партия 9900 бутылок.\n"},
    {"Биологически активная добавка к пище", 3, "Биологически активная добавка к пище «Витамин D3 2000 МЕ», капсулы"},
    {"Печенье сахарное", 4, "Печенье сахарное «К чаю», упаковка 300 г"},
    {"Молоко питьевое ультрапастеризованное", 5, "Молоко питьевое ультрапастеризованное м.д.ж. 3,2 %"},
    {"Футболки трикотажные мужские", 6, "Изделия трикотажные бельевые для мужчин: футболки"},
    {"Фен для волос", 7, "Электрические фены для волос, торговая марка «ZEPHYR», модели ZH-1800, ZH-2200"},
    {"Ноутбук", 8, "Портативные персональные компьютеры (ноутбуки)"},
    {"Игрушки: наборы конструкторов", 9, "Игрушки для детей старше 3 лет: конструкторы пластмассовые "},
    {"Изделия из пластмасс для кухни", 10, "Посуда и кухонные принадлежности из полипропилена"},
    {"Фильтры для очистки воды бытовые", 11, "Фильтры-кувшины для очистки питьевой воды"},
    {"Обувь детская", 12, "Обувь для детей дошкольной группы, верх из натуральной кожи"},
    {"Конфеты глазированные", 13, "Конфеты глазированные шоколадной глазурью «Вечерний  звон»"},
};

struct GroupRow
{
    qint64 id;
    const char *name;
    qint64 techRegId;
};

const GroupRow kGroups[] = {
    {605, "Парфюмерно-косметическая продукция", 28},
    {18127, "Сахаристые кондитерские изделия (в том числе диабетические), восточные сладости, жевательная резинка", 27},
    {18130, "Напитки, кроме соковой продукции из фруктов и овощей", 27},
    {18201, "Пищевые добавки, ароматизаторы, технологические вспомогательные средства", 23},
    {18302, "Одежда и изделия из текстильных материалов, трикотажные изделия", 36},
    {18403, "Электрические аппараты и приборы бытового назначения", 13},
    {18504, "Технические средства, подключаемые к сети электроснабжения", 39},
    {18605, "Оборудование технологическое для пищевой промышленности", 19},
};
constexpr qint64 kGenericGroupBase = 900000; // + index of the regulation: a group for every other regulation

const char *const kWords[] = {
    "ЛАДОГА",  "ВОЛХОВ", "СВИРЬ",  "ОНЕГА", "СЕЛИГЕР", "ИЛЬМЕНЬ", "МСТА",  "ЛОВАТЬ", "ШЕКСНА",
    "ВУОКСА",  "ВАЛДАЙ", "КАМА",   "ОКА",   "ВЯТКА",   "СУРА",    "МОКША", "ЦНА",    "УНЖА",
    "ВЕТЛУГА", "ПЕЧОРА", "МЕЗЕНЬ", "ИРТЫШ", "ТОБОЛ",   "ИШИМ",    "БИЯ",   "КАТУНЬ", "АНГАРА",
    "ЛЕНА",    "ЯНА",    "КОЛЫМА", "АМУР",  "УССУРИ",  "ЗЕЯ",     "БУРЕЯ", "ДВИНА",  "НАРВА",
};
const char *const kSuffixes[] = {"ГРУПП", "ТРЕЙД", "ПЛЮС", "ИНВЕСТ", "ПРОМ", "СНАБ", "ТЕХ", "ЛОГИСТИК", "ПРОДУКТ", ""};

struct FormRow
{
    const char *full;
    const char *fullMixed;
    const char *shortForm;
    const char *opf;
    int idLegalForm;
};

const FormRow kForms[] = {
    {"ОБЩЕСТВО С ОГРАНИЧЕННОЙ ОТВЕТСТВЕННОСТЬЮ", "Общество с ограниченной ответственностью", "ООО",
     "Общества с ограниченной ответственностью", 9},
    {"АКЦИОНЕРНОЕ ОБЩЕСТВО", "Акционерное общество", "АО", "Непубличные акционерные общества", 8},
    {"ПУБЛИЧНОЕ АКЦИОНЕРНОЕ ОБЩЕСТВО", "Публичное акционерное общество", "ПАО", "Публичные акционерные общества", 7},
};

struct PersonRow
{
    const char *surname;
    const char *firstName;
    const char *patronymic;
};

const PersonRow kPeople[] = {
    {"Петров", "Андрей", "Борисович"},  {"Смирнов", "Сергей", "Вадимович"}, {"Соколов", "Дмитрий", "Григорьевич"},
    {"Кузнецова", "Анна", "Борисовна"}, {"Иванов", "Алексей", "Петрович"},  {"Морозова", "Елена", "Сергеевна"},
    {"Новиков", "Михаил", "Андреевич"}, {"Фёдорова", "Ольга", "Ивановна"},  {"Васильев", "Николай", "Юрьевич"},
    {"Попова", "Татьяна", "Олеговна"},  {"Лебедев", "Игорь", "Степанович"}, {"Ершова", "Наталья", "Викторовна"},
};
const char *const kPositions[] = {"ГЕНЕРАЛЬНЫЙ ДИРЕКТОР", "Генеральный директор", "Директор", "Управляющий",
                                  "Исполнительный директор"};
const char *const kStreets[] = {"УЛ. ЛЕНИНА",     "ПР-КТ МИРА", "НАБ. ЛЕСНАЯ",      "ПЕР. САДОВЫЙ",
                                "Ш. ЭНТУЗИАСТОВ", "УЛ. ПОБЕДЫ", "УЛ. 80-Я ПОЛЕВАЯ", "ПР-Д ПРОЕКТИРУЕМЫЙ"};
const char *const kMailNames[] = {"info", "office", "sales", "Gekerek-minef", "vakesu", "cert", "Zakaz", "buh"};

struct MakerRow
{
    const char *name;
    const char *oksm;
    const char *address;
    const char *gln; // nullptr: none
};

const MakerRow kMakers[] = {
    {"Shenzhen Ladoga Electric Appliance Co., Ltd.", "156",
     "Китай, Building 3, Fuhai Industrial Zone, Bao'an District, Shenzhen, Guangdong", nullptr},
    {"«Seliger Ilmen Co., Ltd.»", "410", "Корея, Республика, 227, Maple-daero, Jung-gu, Seoul, GLN 8809121470011",
     "8809121470011"},
    {"Onega Valdai Distillery", "840", "Соединенные Штаты Америки, 182 Lynchburg Hwy, Lynchburg, TN", nullptr},
    {"Volkhov Kosmetik GmbH", "276", "Германия, Industriestraße 12,  Hamburg", nullptr},
    {"ТОВ «СВІРЬ»", "804", "Украина, г. Киев, ул. Садовая, д. 5", nullptr},
};

const char *const kLabs[] = {"Испытательная лаборатория «LIGHT GROUP»  Испытательный центр «CERTIFICATION GROUP»",
                             "Испытательная лаборатория Общества с ограниченной ответственностью \n «Международная "
                             "сертификационная компания»",
                             "Испытательный лабораторный центр ФБУЗ \"Центр гигиены и эпидемиологии\""};

QString innCheck10(const QString &nine)
{
    static const int w[] = {2, 4, 10, 3, 5, 9, 4, 6, 8};
    int sum = 0;
    for (int i = 0; i < 9; ++i)
        sum += nine[i].digitValue() * w[i];
    return nine + QChar(u'0' + sum % 11 % 10);
}

QString innCheck12(const QString &ten)
{
    static const int w1[] = {7, 2, 4, 10, 3, 5, 9, 4, 6, 8};
    static const int w2[] = {3, 7, 2, 4, 10, 3, 5, 9, 4, 6, 8};
    int sum = 0;
    for (int i = 0; i < 10; ++i)
        sum += ten[i].digitValue() * w1[i];
    QString eleven = ten + QChar(u'0' + sum % 11 % 10);
    sum = 0;
    for (int i = 0; i < 11; ++i)
        sum += eleven[i].digitValue() * w2[i];
    return eleven + QChar(u'0' + sum % 11 % 10);
}

QString ogrnCheck(const QString &body, int modulus)
{
    return body + QChar(u'0' + int(body.toULongLong() % quint64(modulus) % 10));
}

} // namespace

// One applicant as the detail and the search items show it. Values that the registry sends as null
// are JSON nulls here.
struct SimApplicant
{
    SimJson searchName; // applicantName of search items
    SimJson fullName;
    SimJson shortName;
    SimJson inn;
    SimJson ogrn;
    SimJson kpp;
    SimJson legalSubjectType; // 1, 2, 3 or null
    SimJson surname, firstName, patronymic, headPosition;
    SimJson idLegalForm, nameLegalForm, ogrnAssignDate, regDate, regOrganName, addlRegInfo;
    SimJson addresses = SimJson::array();
    SimJson contacts = SimJson::array();
    SimJson responsibleContacts = SimJson::array();
    QString opf;
    qint64 idLegalSubject = 0;
    qint64 idPerson = 0;
};

// What a declaration's search item and detail need beyond the facts kept for searching; drawn from
// the declaration's own seed whenever it is asked for.
struct DeclarationExtras
{
    QDate regDate;
    QString number;
    QList<qint64> groupIds; // idGroups
    QList<qint64> tnvedIds; // product.identifications[0].idTnveds
    int product = 0;        // index into the product table
    bool manufacturerIsApplicant = false;
};

struct Dataset::Data
{
    DatasetOptions options;
    QList<SimRegulation> regulations;
    QList<SimDeclaration> declarations;
    // The distinctive words of each applicant's name, drawn in order so that no two collide; the rest
    // of an applicant is drawn from its own seed when it is needed (applicant()).
    QList<QString> applicantWords;
    QMap<qint64, QString> groupNames;
    QMap<qint64, qint64> groupOfRegulation;
    // Dictionaries by the text of an id (a number's digits, a string's characters), entries in the
    // shape of the multi reply.
    QMap<QString, SimJson> applicantTypes, regions, tnveds, groups;

    // The last search, kept because every page of one search asks for the same filter.
    mutable std::mutex cacheMutex;
    mutable QList<int> cacheStatuses;
    mutable QDate cacheMin, cacheMax;
    mutable QList<qint64> cacheRegulations;
    mutable std::shared_ptr<const QList<const SimDeclaration *>> cacheResult;

    SimApplicant applicant(int index) const;
    DeclarationExtras extras(const SimDeclaration &declaration) const;
};

namespace {

SimJson address(qint64 idAddress, int type, const QString &oksm, const SimJson &idSubject, const SimJson &postCode,
                const QString &fullAddress, const SimJson &flat = nullptr, const SimJson &gln = nullptr,
                const SimJson &foreignCity = nullptr)
{
    SimJson a = SimJson::object();
    a["idAddress"] = idAddress;
    a["idAddrType"] = type;
    a["idCodeOksm"] = s(oksm);
    a["oksmShort"] = true;
    a["idSubject"] = idSubject;
    a["idDistrict"] = nullptr;
    a["idCity"] = nullptr;
    a["idLocality"] = nullptr;
    a["idStreet"] = nullptr;
    a["idHouse"] = nullptr;
    a["flat"] = flat;
    a["postCode"] = postCode;
    a["fullAddress"] = s(fullAddress);
    a["gln"] = gln;
    a["foreignDistrict"] = nullptr;
    a["foreignCity"] = foreignCity;
    a["foreignLocality"] = nullptr;
    a["foreignStreet"] = nullptr;
    a["foreignHouse"] = nullptr;
    a["uniqueAddress"] = nullptr;
    a["otherGln"] = nullptr;
    a["glonass"] = nullptr;
    return a;
}

SimJson contact(qint64 id, int type, const QString &value)
{
    SimJson c = SimJson::object();
    c["idContact"] = id;
    c["idContactType"] = type;
    c["value"] = s(value);
    return c;
}

// Postcode, region and town, street, house: in upper case as most applicants type it, or mixed.
QString russianAddress(Rng &rng, const RegionRow &region, bool upper, QString *postCode)
{
    const QString post = q(region.post) + rng.digits(4);
    if (postCode)
        *postCode = post;
    const QString street = q(rng.pick(kStreets));
    const int house = rng.between(1, 120);
    if (upper) {
        QString text = post + u", РОССИЯ, " + q(region.upper) + u", " + street + u", Д. " + QString::number(house);
        if (rng.chance(40))
            text += u", ПОМЕЩ. " + QString::number(rng.between(1, 90));
        return text;
    }
    QString text =
        post + u", Россия, " + q(region.mixed) + u", " + capitalised(street) + u", дом " + QString::number(house);
    if (rng.chance(40))
        text += u", офис " + QString::number(rng.between(1, 900));
    return text;
}

// Doubled blanks, a no-break space or trailing blanks, as applicants type them.
QString roughen(Rng &rng, QString text)
{
    switch (rng.below(3)) {
    case 0:
        text.replace(u", "_s, u",  "_s);
        break;
    case 1: {
        const qsizetype blank = text.lastIndexOf(u' ');
        if (blank > 0)
            text[blank] = QChar(0x00A0);
        break;
    }
    default:
        text += u"   "_s;
    }
    return text;
}

struct NameMaker
{
    QSet<QString> used; // lower case: names are compared without regard to letter case

    QString words(Rng &rng)
    {
        for (int attempt = 0;; ++attempt) {
            QString name = q(rng.pick(kWords));
            if (rng.chance(40))
                name += u' ' + q(rng.pick(kWords));
            const QString suffix = q(rng.pick(kSuffixes));
            if (!suffix.isEmpty())
                name += u' ' + suffix;
            if (attempt > 3)
                name += u'-' + QString::number(rng.between(2, 999));
            if (!used.contains(name.toLower())) {
                used.insert(name.toLower());
                return name;
            }
        }
    }
};

SimApplicant organisation(Rng &rng, const QString &words, qint64 idBase, int regionIndex, int form, bool upper)
{
    const RegionRow &region = kRegions[regionIndex];
    const FormRow &f = kForms[form];
    SimApplicant a;
    const QString full =
        upper ? q(f.full) + u" \"" + words + u'"' : q(f.fullMixed) + u" \"" + capitalised(words) + u'"';
    a.searchName = s(full);
    a.fullName = s(full);
    a.shortName = s(q(f.shortForm) + u" \"" + (upper ? words : capitalised(words)) + u'"');
    const QString yy = QString::number(rng.between(2, 22)).rightJustified(2, u'0');
    a.inn = s(innCheck10(q(region.innCode) + rng.digits(7)));
    a.ogrn = s(ogrnCheck(u'1' + yy + q(region.innCode) + rng.digits(7), 11));
    a.kpp = s(q(region.innCode) + rng.digits(2) + u"01001");
    a.legalSubjectType = 1;
    const PersonRow &head = rng.pick(kPeople);
    a.surname = s(upper ? q(head.surname).toUpper() : q(head.surname));
    a.firstName = s(upper ? q(head.firstName).toUpper() : q(head.firstName));
    a.patronymic = s(upper ? q(head.patronymic).toUpper() : q(head.patronymic));
    a.headPosition = rng.pick(kPositions);
    a.idLegalForm = f.idLegalForm;
    a.nameLegalForm = rng.chance(60) ? SimJson(f.opf) : SimJson(nullptr);
    a.opf = q(f.opf);
    a.ogrnAssignDate = s(u"20" + yy + u"-10-09");
    a.regDate = a.ogrnAssignDate;
    a.regOrganName = "Межрайонная инспекция Федеральной налоговой службы №15 по Санкт-Петербургу";
    a.addlRegInfo = rng.chance(50) ? SimJson("") : SimJson(nullptr);
    a.idLegalSubject = idBase;
    a.idPerson = idBase + 1;

    QString post;
    QString seat = russianAddress(rng, region, upper, &post);
    if (rng.chance(10))
        seat = roughen(rng, seat);
    const SimJson subject = rng.chance(55) ? SimJson(region.guid) : SimJson(nullptr);
    const SimJson postCode = rng.chance(50) ? SimJson(s(post)) : SimJson(nullptr);
    SimJson seatAddress = address(idBase + 2, 1, u"643"_s, subject, postCode, seat);
    const int businessRegion = rng.chance(70) ? regionIndex : rng.below(int(std::size(kRegions)));
    QString businessPost;
    const QString business = russianAddress(rng, kRegions[businessRegion], upper, &businessPost);
    SimJson businessAddress =
        address(idBase + 3, 3, u"643"_s, SimJson(kRegions[businessRegion].guid), SimJson(s(businessPost)), business);
    const int layout = rng.below(10);
    if (layout < 6) {
        a.addresses.push_back(seatAddress);
    } else if (layout < 9) {
        a.addresses.push_back(seatAddress);
        a.addresses.push_back(businessAddress);
    } else {
        a.addresses.push_back(businessAddress); // place of business first
        a.addresses.push_back(seatAddress);
    }

    const QString mail = q(rng.pick(kMailNames)) + rng.digits(rng.between(0, 4)) + u"@example.ru";
    const QString phone = u"+7" + rng.digits(10);
    const int contacts = rng.below(20);
    if (contacts < 14) {
        a.contacts.push_back(contact(idBase + 4, 4, mail));
        a.contacts.push_back(contact(idBase + 5, 1, phone));
    } else if (contacts < 18) {
        a.contacts.push_back(contact(idBase + 5, 1, phone.mid(1))); // without the plus
    } else if (contacts < 19) {
        a.contacts.push_back(contact(idBase + 4, 4, mail));
    }
    if (rng.chance(15))
        a.responsibleContacts.push_back(contact(idBase + 6, 1, u"+7" + rng.digits(10)));
    return a;
}

SimApplicant entrepreneur(Rng &rng, qint64 idBase, int regionIndex)
{
    const RegionRow &region = kRegions[regionIndex];
    const PersonRow &p = rng.pick(kPeople);
    SimApplicant a;
    const QString full =
        u"Индивидуальный предприниматель " + q(p.surname) + u' ' + q(p.firstName) + u' ' + q(p.patronymic);
    a.searchName = s(full);
    a.fullName = s(full);
    a.shortName = s(u"ИП " + q(p.surname) + u' ' + q(p.firstName).left(1) + u'.' + q(p.patronymic).left(1) + u'.');
    const QString yy = QString::number(rng.between(4, 22)).rightJustified(2, u'0');
    a.inn = s(innCheck12(q(region.innCode) + rng.digits(8)));
    a.ogrn = s(ogrnCheck(u'3' + yy + q(region.innCode) + rng.digits(9), 13));
    a.kpp = nullptr;
    a.legalSubjectType = 2;
    a.surname = p.surname;
    a.firstName = p.firstName;
    a.patronymic = p.patronymic;
    a.headPosition = nullptr;
    a.idLegalForm = nullptr;
    a.nameLegalForm = nullptr;
    a.opf = u"Индивидуальные предприниматели"_s;
    a.ogrnAssignDate = s(u"20" + yy + u"-03-30");
    a.regDate = a.ogrnAssignDate;
    a.regOrganName = "Инспекция Федеральной налоговой службы по Верх-Исетскому району г.Екатеринбурга";
    a.addlRegInfo = nullptr;
    a.idLegalSubject = idBase;
    a.idPerson = idBase + 1;
    QString post;
    a.addresses.push_back(
        address(idBase + 2, 1, u"643"_s, SimJson(region.guid), nullptr, russianAddress(rng, region, false, &post)));
    a.contacts.push_back(contact(idBase + 5, 1, u"+7" + rng.digits(10)));
    return a;
}

// A legal person of another EAEU state: no INN and no OGRN.
SimApplicant foreignMember(Rng &rng, const QString &words, qint64 idBase)
{
    SimApplicant a;
    const QString full = u"ТОВАРИЩЕСТВО С ОГРАНИЧЕННОЙ ОТВЕТСТВЕННОСТЬЮ \"" + words + u'"';
    a.searchName = s(full);
    a.fullName = s(full);
    a.shortName = s(u"ТОО \"" + words + u'"');
    a.inn = nullptr;
    a.ogrn = nullptr;
    a.kpp = nullptr;
    a.legalSubjectType = 1;
    a.surname = "Сейткали";
    a.firstName = "Айгерим";
    a.patronymic = nullptr;
    a.headPosition = "Директор";
    a.idLegalForm = nullptr;
    a.nameLegalForm = nullptr;
    a.opf = QString();
    a.ogrnAssignDate = nullptr;
    a.regDate = nullptr;
    a.regOrganName = nullptr;
    a.addlRegInfo = nullptr;
    a.idLegalSubject = idBase;
    a.idPerson = idBase + 1;
    a.addresses.push_back(address(idBase + 2, 1, u"398"_s, nullptr, nullptr,
                                  u"Казахстан, г. Алматы, пр. Абая, д. " + QString::number(rng.between(1, 200)),
                                  nullptr, nullptr, SimJson("г. Алматы")));
    a.contacts.push_back(contact(idBase + 4, 4, u"info@example.kz"_s));
    return a;
}

SimJson subjectJson(const SimApplicant &a, bool asManufacturer, qint64 idShift)
{
    SimJson j = SimJson::object();
    j["idLegalSubject"] = a.idLegalSubject + idShift;
    j["idEgrul"] = nullptr;
    if (!asManufacturer)
        j["idApplicantType"] = 4;
    j["idLegalSubjectType"] = a.legalSubjectType;
    j["fullName"] = a.fullName;
    j["shortName"] = a.shortName;
    j["idPerson"] = a.surname.is_null() ? SimJson(nullptr) : SimJson(a.idPerson + idShift);
    j["surname"] = a.surname;
    j["firstName"] = a.firstName;
    j["patronymic"] = a.patronymic;
    j["headPosition"] = a.headPosition;
    j["applicantHead"] = !a.surname.is_null();
    const bool responsible = !asManufacturer && !a.surname.is_null();
    j["idResponsiblePerson"] = responsible ? SimJson(a.idPerson + idShift + 1) : SimJson(nullptr);
    j["responsibleSurname"] = responsible ? a.surname : SimJson(nullptr);
    j["responsibleFirstName"] = responsible ? a.firstName : SimJson(nullptr);
    j["responsiblePatronymic"] = responsible ? a.patronymic : SimJson(nullptr);
    j["responsiblePosition"] = responsible ? a.headPosition : SimJson(nullptr);
    j["responsibleDocName"] = nullptr;
    j["responsibleDocNumber"] = nullptr;
    j["responsibleDocDate"] = nullptr;
    j["responsibleContacts"] = asManufacturer ? SimJson(nullptr) : a.responsibleContacts;
    j["ogrn"] = a.ogrn;
    j["ogrnAssignDate"] = a.ogrnAssignDate;
    j["inn"] = a.inn;
    j["kpp"] = a.kpp;
    j["idLegalForm"] = a.idLegalForm;
    j["idKopf"] = nullptr;
    j["nameLegalForm"] = a.nameLegalForm;
    j["regDate"] = a.regDate;
    j["regOrganName"] = a.regOrganName;
    j["addlRegInfo"] = a.addlRegInfo;
    j["isEecRegister"] = true;
    j["contacts"] = a.contacts;
    j["addresses"] = a.addresses;
    j["transnational"] = SimJson::array();
    return j;
}

SimJson foreignMaker(const MakerRow &maker, qint64 idBase)
{
    SimJson j = SimJson::object();
    j["idLegalSubject"] = idBase;
    j["idEgrul"] = nullptr;
    j["idLegalSubjectType"] = 3;
    j["fullName"] = maker.name;
    for (const char *key : {"shortName", "idPerson", "surname", "firstName", "patronymic", "headPosition"})
        j[key] = nullptr;
    j["applicantHead"] = false;
    for (const char *key :
         {"idResponsiblePerson", "responsibleSurname", "responsibleFirstName", "responsiblePatronymic",
          "responsiblePosition", "responsibleDocName", "responsibleDocNumber", "responsibleDocDate",
          "responsibleContacts", "ogrn", "ogrnAssignDate", "inn", "kpp", "idLegalForm", "idKopf", "nameLegalForm",
          "regDate", "regOrganName", "addlRegInfo"})
        j[key] = nullptr;
    j["isEecRegister"] = true;
    j["contacts"] = SimJson::array();
    const SimJson gln = maker.gln ? SimJson(maker.gln) : SimJson(nullptr);
    const SimJson flat = maker.gln ? SimJson(std::string("GLN ") + maker.gln) : SimJson(nullptr);
    j["addresses"] =
        SimJson::array({address(idBase + 1, 1, q(maker.oksm), nullptr, nullptr, q(maker.address), flat, gln, nullptr)});
    j["transnational"] = SimJson::array();
    return j;
}

QString isoDate(const QDate &date)
{
    return date.toString(u"yyyy-MM-dd");
}

QString idText(const SimJson &id)
{
    return id.is_string() ? QString::fromStdString(id.get<std::string>()) : QString::fromStdString(id.dump());
}

} // namespace

Dataset::Dataset() : d(std::make_shared<Data>()) {}
Dataset::~Dataset() = default;
Dataset::Dataset(const Dataset &) = default;
Dataset &Dataset::operator=(const Dataset &) = default;
Dataset::Dataset(Dataset &&) noexcept = default;
Dataset &Dataset::operator=(Dataset &&) noexcept = default;

Dataset Dataset::generate(const DatasetOptions &options)
{
    auto data = std::make_shared<Data>();
    Data &x = *data;
    x.options = options;
    if (!x.options.today.isValid())
        x.options.today = QDate::currentDate();
    x.options.declarations = std::max(0, x.options.declarations);
    x.options.applicants = std::max(1, x.options.applicants);
    x.options.regulations = std::max(0, x.options.regulations);
    const QDate today = x.options.today;
    const QDate windowStart = today.addDays(x.options.windowMinDays);
    const QDate windowEnd = today.addDays(std::max(x.options.windowMinDays, x.options.windowMaxDays));
    Rng rng(x.options.seed, 0x7461767253696dULL);

    // Regulations: the real ones first, then made-up ones with unique numbers.
    for (int i = 0; i < x.options.regulations; ++i) {
        if (i < int(std::size(kRegulations))) {
            x.regulations.append({kRegulations[i].id, q(kRegulations[i].docNum), q(kRegulations[i].name)});
        } else {
            const int n = 52 + i - int(std::size(kRegulations));
            x.regulations.append(
                {5000000 + n,
                 u"ТР ЕАЭС " + QString::number(n).rightJustified(3, u'0') + u"/20" + QString::number(22 + n % 4),
                 u"О безопасности продукции группы " + QString::number(n)});
        }
    }

    // Dictionaries.
    static const char *const kSubjectTypes[] = {"Юридическое лицо", "Индивидуальный предприниматель",
                                                "Иностранное лицо"};
    for (int i = 0; i < 3; ++i) {
        SimJson e = SimJson::object();
        e["id"] = i + 1;
        e["name"] = kSubjectTypes[i];
        e["masterId"] = std::to_string(i + 1);
        x.applicantTypes.insert(QString::number(i + 1), e);
    }
    for (const RegionRow &r : kRegions) {
        SimJson e = SimJson::object();
        e["shortname"] = r.shortname;
        e["id"] = r.guid;
        e["aolevel"] = 1;
        e["masterId"] = r.guid;
        e["offname"] = r.offname;
        x.regions.insert(q(r.guid), e);
    }
    for (const TnvedRow &t : kTnveds) {
        SimJson e = SimJson::object();
        e["hidden"] = false;
        e["code"] = t.code;
        e["id"] = t.id;
        e["name"] = t.name;
        e["masterId"] = std::to_string(t.id);
        x.tnveds.insert(QString::number(t.id), e);
    }
    auto addGroup = [&x](qint64 id, const QString &name, qint64 techRegId) {
        SimJson e = SimJson::object();
        e["name"] = s(name);
        e["id"] = id;
        e["hidden"] = false;
        e["techRegId"] = techRegId;
        x.groups.insert(QString::number(id), e);
        x.groupNames.insert(id, name);
        if (!x.groupOfRegulation.contains(techRegId))
            x.groupOfRegulation.insert(techRegId, id);
    };
    for (const GroupRow &g : kGroups)
        addGroup(g.id, q(g.name), g.techRegId);
    for (int i = 0; i < x.regulations.size(); ++i) {
        if (!x.groupOfRegulation.contains(x.regulations[i].id))
            addGroup(kGenericGroupBase + i, u"Продукция, на которую распространяется " + x.regulations[i].displayName,
                     x.regulations[i].id);
    }

    // Applicants: the words of their names here, the rest on demand.
    NameMaker names;
    x.applicantWords.reserve(x.options.applicants);
    for (int i = 0; i < x.options.applicants; ++i)
        x.applicantWords.append(names.words(rng));
    constexpr int kEdgeApplicants = 13;

    // Declarations. Ids rise from just below 10,000,000 so that both seven- and eight-digit ids occur
    // (sorted as text, "10000001" comes before "9999999").
    qint64 id = 9999940;
    const int window = int(windowStart.daysTo(windowEnd));
    const int n = x.options.declarations;
    const int m = x.options.applicants;
    const int edges = std::min(kEdgeApplicants, m);
    x.declarations.reserve(n);
    for (int i = 0; i < n; ++i) {
        SimDeclaration decl;
        id += rng.between(1, 5);
        decl.id = id;
        if (i < m)
            decl.applicant = i;
        else if (rng.chance(50))
            decl.applicant = rng.below(std::max(1, m / 10)); // a few applicants declare a lot
        else
            decl.applicant = rng.below(m);

        // End date and status: the edge applicants' first declarations end inside the window, then the
        // window's bounds and the days just outside them, one declaration in the window that is not in
        // force, and the rest spread around.
        const int slot = i - edges;
        if (i < edges) {
            decl.endDate = windowStart.addDays(rng.between(0, window));
        } else if (slot >= 0 && slot < 4) {
            static const int offsets[] = {-1, 0, 0, 1};
            decl.endDate = slot < 2 ? windowStart.addDays(offsets[slot]) : windowEnd.addDays(offsets[slot]);
        } else if (slot == 4) {
            decl.endDate = windowStart.addDays(rng.between(0, window));
            decl.status = 1;
        } else {
            const int r = rng.below(100);
            if (r < 45)
                decl.endDate = windowStart.addDays(rng.between(0, window));
            else if (r < 50)
                decl.endDate =
                    rng.chance(50) ? windowStart.addDays(-rng.between(1, 3)) : windowEnd.addDays(rng.between(1, 3));
            else
                decl.endDate = today.addDays(rng.between(-365, 5 * 365));
            if (rng.chance(10))
                decl.status = rng.chance(50) ? 1 : 14;
        }

        decl.national = i >= edges && rng.chance(7);
        if (!decl.national && !x.regulations.isEmpty()) {
            const int count = rng.chance(60) ? 1 : (rng.chance(75) ? 2 : 3);
            for (int k = 0; k < count; ++k) {
                const int popular = std::min(kPopularRegulations, int(x.regulations.size()));
                const qint64 reg = rng.chance(60) ? x.regulations[rng.below(popular)].id
                                                  : x.regulations[rng.below(int(x.regulations.size()))].id;
                if (!decl.regulationIds.contains(reg))
                    decl.regulationIds.append(reg);
            }
        }
        x.declarations.append(std::move(decl));
    }

    Dataset dataset;
    dataset.d = std::move(data);
    return dataset;
}

// The first applicants carry the shapes that matter downstream, so a data set of a dozen applicants
// or more holds each of them; the others are drawn from their own seed.
SimApplicant Dataset::Data::applicant(int i) const
{
    Rng rng(options.seed ^ 0xa991ULL, quint64(i));
    const QString &words = applicantWords[i];
    const qint64 idBase = 29000000 + qint64(i) * 10;
    const int regionCount = int(std::size(kRegions));
    SimApplicant a;
    switch (i) {
    case 0: // an upper-case name, as most are
        a = organisation(rng, words, idBase, 0, 0, true);
        break;
    case 1: { // the name of applicant 0 in other letters' case
        a = organisation(rng, words, idBase, 0, 0, false);
        const QString name = capitalised(QString::fromStdString(applicant(0).fullName.get<std::string>()));
        a.searchName = s(name);
        a.fullName = s(name);
        break;
    }
    case 2: // an empty name
        a = organisation(rng, words, idBase, 1, 0, true);
        a.searchName = "";
        a.fullName = "";
        a.shortName = "";
        break;
    case 3: // a null name
        a = organisation(rng, words, idBase, 2, 1, true);
        a.searchName = nullptr;
        a.fullName = nullptr;
        a.shortName = nullptr;
        break;
    case 5: // the INN of applicant 4 (a branch registered apart)
        a = organisation(rng, words, idBase, 3, 0, false);
        a.inn = applicant(4).inn;
        break;
    case 6: // OGRN only, the INN null
        a = organisation(rng, words, idBase, 4, 0, true);
        a.inn = nullptr;
        break;
    case 7: // OGRN only, the INN empty
        a = organisation(rng, words, idBase, 5, 1, true);
        a.inn = "";
        break;
    case 8: // neither INN nor OGRN
        a = foreignMember(rng, words, idBase);
        break;
    case 9: { // doubled blanks, a no-break space and a trailing blank in the name
        a = organisation(rng, words, idBase, 6, 0, true);
        QString name = QString::fromStdString(a.fullName.get<std::string>());
        name.replace(u"ОГРАНИЧЕННОЙ "_s, u"ОГРАНИЧЕННОЙ  "_s);
        const qsizetype quote = name.indexOf(u'"');
        name.insert(quote + 1, u"НОВАЯ"_s + QChar(0x00A0));
        name += u' ';
        a.searchName = s(name);
        a.fullName = s(name);
        break;
    }
    case 10: // an entrepreneur whose INN begins with a zero
        a = entrepreneur(rng, idBase, kBashkortostan);
        break;
    case 11: // no type, place of business only, the responsible person's phone empty
        a = organisation(rng, words, idBase, 7, 0, false);
        a.legalSubjectType = nullptr;
        a.addresses = SimJson::array({address(idBase + 3, 3, u"643"_s, SimJson(kRegions[7].guid), nullptr,
                                              russianAddress(rng, kRegions[7], false, nullptr))});
        a.contacts = SimJson::array({contact(idBase + 5, 1, u"+7" + rng.digits(10))});
        a.responsibleContacts = SimJson::array({contact(idBase + 6, 1, QString())});
        break;
    case 12: { // a TAB and a line feed inside values
        a = organisation(rng, words, idBase, 8, 0, true);
        a.headPosition = "ГЕНЕРАЛЬНЫЙ\tДИРЕКТОР";
        SimJson &seat = a.addresses[0];
        seat["fullAddress"] =
            s(QString::fromStdString(seat["fullAddress"].get<std::string>()).replace(u", "_s, u",\n"_s));
        break;
    }
    default: {
        const int kind = rng.below(100);
        if (kind < 8)
            a = entrepreneur(rng, idBase, rng.below(regionCount));
        else if (kind < 10)
            a = foreignMember(rng, words, idBase);
        else
            a = organisation(rng, words, idBase, rng.below(regionCount), rng.below(10) < 7 ? 0 : 1 + rng.below(2),
                             rng.chance(70));
    }
    }
    return a;
}

DeclarationExtras Dataset::Data::extras(const SimDeclaration &decl) const
{
    Rng rng(options.seed ^ 0xe8a5ULL, quint64(decl.id));
    DeclarationExtras e;
    for (qint64 reg : decl.regulationIds) {
        const qint64 group = groupOfRegulation.value(reg);
        if (group && !e.groupIds.contains(group))
            e.groupIds.append(group);
    }
    e.product = rng.below(int(std::size(kProducts)));
    if (!rng.chance(3))
        e.tnvedIds.append(kTnveds[kProducts[e.product].tnved].id);
    if (rng.chance(10)) {
        const qint64 other = rng.pick(kTnveds).id;
        if (!e.tnvedIds.contains(other))
            e.tnvedIds.append(other);
    }
    e.regDate = decl.national ? decl.endDate.addMonths(-6).addDays(1)
                              : decl.endDate.addYears(-rng.between(1, 5)).addDays(rng.between(1, 10));
    static const char *const kCountries[] = {"RU", "RU", "RU", "CN", "US", "DE", "TR", "BY", "KR"};
    static const char *const kLetters[] = {"А", "В", "Н"};
    e.number = (decl.national ? u"ВП RU Д-"_s : u"ЕАЭС N RU Д-"_s) + q(rng.pick(kCountries)) + u".РА0" +
               QString::number(rng.between(1, 5)) + u'.' + q(rng.pick(kLetters)) + u'.' + rng.digits(5) + u'/' +
               e.regDate.toString(u"yy");
    e.manufacturerIsApplicant = rng.chance(45);
    return e;
}

const DatasetOptions &Dataset::options() const
{
    return d->options;
}

QDate Dataset::today() const
{
    return d->options.today;
}

QDate Dataset::windowStart() const
{
    return d->options.today.addDays(d->options.windowMinDays);
}

QDate Dataset::windowEnd() const
{
    return d->options.today.addDays(std::max(d->options.windowMinDays, d->options.windowMaxDays));
}

const QList<SimRegulation> &Dataset::regulations() const
{
    return d->regulations;
}

const QList<SimDeclaration> &Dataset::declarations() const
{
    return d->declarations;
}

int Dataset::applicantCount() const
{
    return int(d->applicantWords.size());
}

const SimDeclaration *Dataset::declaration(qint64 id) const
{
    const auto it = std::lower_bound(d->declarations.cbegin(), d->declarations.cend(), id,
                                     [](const SimDeclaration &decl, qint64 value) { return decl.id < value; });
    return it != d->declarations.cend() && it->id == id ? &*it : nullptr;
}

bool Dataset::matches(const SimDeclaration &decl, const SimSearchFilter &filter)
{
    if (!filter.statuses.isEmpty() && !filter.statuses.contains(decl.status))
        return false;
    if (filter.minEndDate.isValid() && decl.endDate < filter.minEndDate)
        return false;
    if (filter.maxEndDate.isValid() && decl.endDate > filter.maxEndDate)
        return false;
    if (filter.regulations.isEmpty())
        return true;
    return std::any_of(decl.regulationIds.cbegin(), decl.regulationIds.cend(),
                       [&filter](qint64 reg) { return filter.regulations.contains(reg); });
}

QList<const SimDeclaration *> Dataset::search(const SimSearchFilter &filter) const
{
    {
        std::lock_guard lock(d->cacheMutex);
        if (d->cacheResult && d->cacheStatuses == filter.statuses && d->cacheMin == filter.minEndDate &&
            d->cacheMax == filter.maxEndDate && d->cacheRegulations == filter.regulations)
            return *d->cacheResult;
    }
    QList<const SimDeclaration *> found;
    for (const SimDeclaration &decl : d->declarations) {
        if (matches(decl, filter))
            found.append(&decl);
    }
    std::lock_guard lock(d->cacheMutex);
    d->cacheStatuses = filter.statuses;
    d->cacheMin = filter.minEndDate;
    d->cacheMax = filter.maxEndDate;
    d->cacheRegulations = filter.regulations;
    d->cacheResult = std::make_shared<const QList<const SimDeclaration *>>(found);
    return found;
}

SimJson Dataset::searchItem(const SimDeclaration &decl, bool withApplicantInn) const
{
    const SimApplicant a = d->applicant(decl.applicant);
    const DeclarationExtras e = d->extras(decl);
    Rng rng(d->options.seed ^ 0x5ea4c4ULL, quint64(decl.id));
    QStringList titles;
    for (qint64 reg : decl.regulationIds) {
        for (const SimRegulation &known : d->regulations) {
            if (known.id == reg)
                titles.append(known.name);
        }
    }
    QStringList groups;
    for (qint64 group : e.groupIds)
        groups.append(d->groupNames.value(group));
    const ProductRow &product = kProducts[e.product];
    const MakerRow &maker = kMakers[quint64(decl.id) % std::size(kMakers)];
    QString seat;
    for (const SimJson &addr : a.addresses) {
        if (addr["idAddrType"] == 1) {
            seat = QString::fromStdString(addr["fullAddress"].get<std::string>());
            break;
        }
    }
    static const char *const kSubjectTypes[] = {"Юридическое лицо", "Индивидуальный предприниматель",
                                                "Иностранное лицо"};

    SimJson item = SimJson::object();
    item["id"] = decl.id;
    item["idStatus"] = decl.status;
    item["number"] = s(e.number);
    item["declDate"] = s(isoDate(e.regDate));
    item["declEndDate"] = s(isoDate(decl.endDate));
    item["declDraftDate"] = s(isoDate(e.regDate.addDays(-rng.between(0, 3))));
    item["technicalReglaments"] = s(titles.join(u"; "));
    item["group"] = s(groups.join(u"; "));
    item["productSingleList"] = decl.national ? "15016502" : "";
    item["declType"] = decl.national
                           ? "Декларация о соответствии продукции, включенной в перечень продукции Российской Федерации"
                           : "Декларация о соответствии требованиям технического регламента Евразийского "
                             "экономического союза (технического регламента Таможенного союза)";
    item["declObjectType"] = rng.chance(50) ? "Партия" : "Серийный выпуск";
    item["awaitForApprove"] = "Нет";
    item["unpublishedChanges"] = nullptr;
    item["editApp"] = "Нет";
    item["idApplicantLegalSubjectType"] = a.legalSubjectType;
    item["applicantLegalSubjectType"] =
        a.legalSubjectType.is_number() ? SimJson(kSubjectTypes[a.legalSubjectType.get<int>() - 1]) : SimJson("");
    item["applicantType"] = rng.chance(50) ? "Изготовитель" : "Продавец";
    item["applicantName"] = a.searchName;
    if (withApplicantInn)
        item["applicantInn"] = a.inn;
    item["applicantAddress"] = s(seat);
    item["applicantOpf"] = s(a.opf);
    item["applicantFilialFullNames"] = "";
    if (e.manufacturerIsApplicant) {
        item["idManufacterLegalSubjectType"] = a.legalSubjectType;
        item["manufacterLegalSubjectType"] = item["applicantLegalSubjectType"];
        item["manufacterType"] = "";
        item["manufacterName"] = a.fullName;
    } else {
        item["idManufacterLegalSubjectType"] = 3;
        item["manufacterLegalSubjectType"] = "Иностранное лицо";
        item["manufacterType"] = "";
        item["manufacterName"] = maker.name;
    }
    item["manufacterFilialFullNames"] = "";
    item["idRalCertificationAuthority"] = nullptr;
    item["certificationAuthorityAttestatRegNumber"] = nullptr;
    item["productOrig"] = e.manufacturerIsApplicant ? "Российская Федерация" : "Китай";
    item["productFullName"] = product.fullName;
    item["productBatchSize"] =
        rng.chance(50) ? SimJson(s(QString::number(rng.between(10, 9999)) + u" штук")) : SimJson("");
    item["productIdentificationName"] = product.name;
    for (const char *key :
         {"productIdentificationType", "productIdentificationTrademark", "productIdentificationModel",
          "productIdentificationArticle", "productIdentificationSort", "productIdentificationGtin", "expertFio"})
        item[key] = "";
    item["statusTestingLabs"] = rng.chance(70) ? "Испытания проводились в аккредитованной в ЕАЭС лаборатории"
                                               : "Испытания проводились в иной лаборатории";
    item["declReplacedNumber"] = nullptr;
    item["declRegInsteadNumber"] = nullptr;
    item["creatorInn"] = a.inn.is_null() ? SimJson("") : a.inn;
    item["creatorOgrn"] = a.ogrn.is_null() ? SimJson("") : a.ogrn;
    return item;
}

SimJson Dataset::detail(const SimDeclaration &decl) const
{
    const SimApplicant a = d->applicant(decl.applicant);
    const DeclarationExtras e = d->extras(decl);
    Rng rng(d->options.seed ^ 0xde7a11ULL, quint64(decl.id));
    const ProductRow &product = kProducts[e.product];
    const qint64 base = decl.id * 16; // ids of the declaration's parts, unique across the data set
    const QString regDate = isoDate(e.regDate);
    const QString stamp = regDate + u"T09:34:" + QString::number(rng.between(10, 59)) + u'.' + rng.digits(3);

    SimJson j = SimJson::object();
    j["idDeclaration"] = decl.id;
    j["idTechnicalReglaments"] = SimJson::array();
    for (qint64 reg : decl.regulationIds)
        j["idTechnicalReglaments"].push_back(reg);
    j["idDeclScheme"] = decl.national ? 11 : 228;
    j["idObjectDeclType"] = rng.chance(50) ? 3 : 1;
    j["idGroups"] = SimJson::array();
    for (qint64 group : e.groupIds)
        j["idGroups"].push_back(group);
    j["idDeclType"] = decl.national ? 18 : 2;
    j["idProductSingleLists"] = decl.national ? SimJson::array({15000537}) : SimJson::array();
    j["awaitForApprove"] = false;
    j["editApp"] = false;
    j["unpublishedChanges"] = false;
    j["idStatus"] = decl.status;
    j["assignRegNumber"] = false;
    j["number"] = s(e.number);
    j["submissionDate"] = nullptr;
    j["declRegDate"] = s(regDate);
    j["declEndDate"] = s(isoDate(decl.endDate));
    j["noSanction"] = true;
    j["lastUpdate"] = s(stamp);
    j["idSigner"] = nullptr;
    j["idSignerEmployee"] = nullptr;
    j["firstName"] = nullptr;
    j["surname"] = nullptr;
    j["patronymic"] = nullptr;
    j["annexes"] = SimJson::array();
    j["applicant"] = subjectJson(a, false, 0);
    j["applicantFilials"] = SimJson::array();
    j["manufIsApplicant"] = e.manufacturerIsApplicant;
    j["manufacturer"] = e.manufacturerIsApplicant
                            ? subjectJson(a, true, 1)
                            : foreignMaker(kMakers[quint64(decl.id) % std::size(kMakers)], base + 1);
    SimJson filials = SimJson::array();
    if (e.manufacturerIsApplicant) {
        const RegionRow &region = kRegions[rng.below(int(std::size(kRegions)))];
        SimJson filial = SimJson::object();
        filial["idFilial"] = base + 3;
        for (const char *key : {"fullName", "shortName", "idLegalForm", "idKopf", "nameLegalForm"})
            filial[key] = nullptr;
        filial["egrulSelected"] = false;
        filial["kpp"] = nullptr;
        filial["annex"] = false;
        filial["contacts"] = SimJson::array();
        QString post;
        const QString text = russianAddress(rng, region, false, &post);
        filial["addresses"] =
            SimJson::array({address(base + 4, 3, u"643"_s, SimJson(region.guid), SimJson(s(post)), text)});
        filials.push_back(filial);
    }
    j["manufacturerFilials"] = filials;
    j["certificationAuthority"] = nullptr;
    j["accreditationBody"] = nullptr;

    SimJson identification = SimJson::object();
    identification["idIdentification"] = base + 5;
    identification["annex"] = false;
    identification["name"] = product.name;
    for (const char *key : {"type", "tradeMark", "model", "article", "sort"})
        identification[key] = nullptr;
    identification["idOkpds"] = SimJson::array();
    identification["idTnveds"] = SimJson::array();
    for (qint64 tnved : e.tnvedIds)
        identification["idTnveds"].push_back(tnved);
    identification["gtin"] = SimJson::array({""});
    identification["lifeTime"] = nullptr;
    identification["storageTime"] =
        rng.chance(50) ? SimJson("Срок годности: 30 месяцев от даты изготовления. ") : SimJson(nullptr);
    identification["description"] = nullptr;
    identification["amount"] = nullptr;
    for (const char *key : {"idOkei", "factoryNumber", "productionDate", "expiryDate"})
        identification[key] = nullptr;
    identification["documents"] = SimJson::array();
    identification["standards"] = SimJson::array();
    SimJson productJson = SimJson::object();
    productJson["idProduct"] = base + 6;
    productJson["idProductOrigin"] = e.manufacturerIsApplicant ? "643" : "156";
    productJson["fullName"] = product.fullName;
    for (const char *key :
         {"marking", "usageScope", "storageCondition", "usageCondition", "batchSize", "batchId", "identification"})
        productJson[key] = nullptr;
    productJson["identifications"] = SimJson::array({identification});
    j["product"] = productJson;
    j["experts"] = SimJson::array();

    SimJson statusChanges = SimJson::array();
    for (int k = 0; k < 2; ++k) {
        SimJson change = SimJson::object();
        change["idChangeStatus"] = base + 7 + k;
        change["idStatus"] = k == 0 ? 20 : decl.status;
        change["beginDate"] = s(stamp);
        change["endDate"] = k == 0 ? SimJson(s(stamp)) : SimJson(nullptr);
        change["comment"] = nullptr;
        change["idBasis"] = nullptr;
        change["publicated"] = true;
        change["publishDate"] = s(stamp);
        for (const char *key : {"lkType", "docName", "docNumber", "docDate", "prescription", "idFileScan"})
            change[key] = nullptr;
        change["idBasisSolutions"] = SimJson::array();
        for (const char *key : {"levelStateControl", "typeStateControl", "idOngoingEvent"})
            change[key] = nullptr;
        statusChanges.push_back(change);
    }
    j["statusChanges"] = statusChanges;

    SimJson protocol = SimJson::object();
    protocol["idProtocol"] = base + 9;
    protocol["idProtocolRpi"] = nullptr;
    protocol["number"] = s(QString::number(rng.between(1, 999)) + u"Л/З-" + e.regDate.toString(u"dd.MM/yy") + u' ');
    protocol["date"] = s(regDate);
    protocol["idFile"] = "c21f8eac-d71a-4ed5-ae84-247d927b3be7";
    protocol["standards"] = SimJson::array();
    protocol["isProtocolInvalid"] = false;
    SimJson custom = SimJson::object();
    custom["idDocConfirmCustom"] = base + 10;
    custom["idDocConfirmCustomType"] = 3;
    custom["customInfo"] = SimJson::array();
    custom["otherDocs"] = SimJson::array();
    custom["reasonNonRegistrCustomsDeclaration"] = "-";
    SimJson lab = SimJson::object();
    lab["idTestingLab"] = base + 11;
    lab["annex"] = false;
    lab["idRal"] = 24153;
    lab["regNumber"] = "RA.RU.21АИ63";
    lab["fullName"] = rng.pick(kLabs);
    lab["beginDate"] = "2016-05-31";
    lab["endDate"] = nullptr;
    lab["basis"] = nullptr;
    lab["idAccredPlace"] = "643";
    lab["isAccredEec"] = true;
    lab["address"] = nullptr;
    lab["protocols"] = SimJson::array({protocol});
    lab["importedForResearchTesting"] = false;
    lab["docConfirmCustom"] = SimJson::array({custom});
    lab["ogrn"] = nullptr;
    lab["inn"] = nullptr;
    lab["accredEec"] = true;
    j["testingLabs"] = SimJson::array({lab});

    static const SimJson documents =
        SimJson::parse(R"({"productTypeApplicationDecision":null,"productTypeContract":null,
        "productTypeResearchConclusion":null,"productTypeCertificates":[],"qmsCertificates":[],
        "productionControlResults":[],"reportsOnTypeApprovalUnderUNRegulation":[],
        "protocolTestingTechnicalService":null,"complianceStandards":[],"commonDocuments":{},
        "foreignManufacturerContract":null,"componentCertificates":[],"vehicleChassisTypeApproval":{"annex":false,
        "number":null,"issueDate":null,"endDate":null,"idAccredPlace":"643","isAccredEec":false,"certOrganName":null,
        "attestatRegNumber":null,"attestatRegDate":null,"attestatEndDate":null,"idFile":null},
        "applicantOtherDocuments":[]})");
    j["documents"] = documents;
    j["isSrd"] = true;
    j["idStatusTestingLabs"] = 2;
    j["idReplacementReason"] = SimJson::array();
    for (const char *key : {"idDeclarationReplaced", "idDeclarationRegInstead", "declarationReplacedNum",
                            "declarationRegInsteadNum", "changes", "idDeclarationChecker"})
        j[key] = nullptr;
    return j;
}

SimJson Dataset::lookup(const SimJson &requestItems) const
{
    SimJson reply = SimJson::object();
    if (!requestItems.is_object())
        return reply;
    for (auto it = requestItems.begin(); it != requestItems.end(); ++it) {
        const QMap<QString, SimJson> *dictionary = nullptr;
        if (it.key() == "applicantType")
            dictionary = &d->applicantTypes;
        else if (it.key() == "fiasAddrobj")
            dictionary = &d->regions;
        else if (it.key() == "tnved")
            dictionary = &d->tnveds;
        else if (it.key() == "techregProductListEEU")
            dictionary = &d->groups;
        SimJson entries = SimJson::array();
        if (dictionary && it.value().is_array()) {
            for (const SimJson &request : it.value()) {
                const SimJson *ids = request.is_object() && request.contains("id") ? &request["id"] : nullptr;
                if (!ids || !ids->is_array())
                    continue;
                for (const SimJson &id : *ids) {
                    if (id.is_null())
                        continue;
                    const auto found = dictionary->constFind(idText(id));
                    if (found != dictionary->constEnd())
                        entries.push_back(*found);
                }
            }
        }
        reply[it.key()] = entries;
    }
    return reply;
}

std::optional<FixtureSet> FixtureSet::load(const QString &folder, QString *error)
{
    QDir dir(folder);
    if (dir.exists(u"registry"_s))
        dir.cd(u"registry"_s);
    auto fail = [error](const QString &text) -> std::optional<FixtureSet> {
        if (error)
            *error = text;
        return std::nullopt;
    };
    auto readNumbered = [&dir](const QString &stem, QList<QByteArray> &into) -> QString {
        for (int k = 1;; ++k) {
            QFile file(dir.filePath(stem + QString::number(k) + u".json"));
            if (!file.exists())
                return QString();
            if (!file.open(QIODevice::ReadOnly))
                return file.fileName() + u": " + file.errorString();
            into.append(file.readAll());
        }
    };
    FixtureSet set;
    for (auto [stem, list] : {std::pair{u"search-"_s, &set.searchPages}, std::pair{u"detail-"_s, &set.details},
                              std::pair{u"multi-"_s, &set.lookups}}) {
        const QString problem = readNumbered(stem, *list);
        if (!problem.isEmpty())
            return fail(problem);
        if (list->isEmpty())
            return fail(dir.filePath(stem + u"1.json") + u": missing");
    }
    for (int k = 0; k < set.searchPages.size(); ++k) {
        const SimJson page = SimJson::parse(set.searchPages[k].toStdString(), nullptr, false);
        if (!page.is_object() || !page.contains("items") || !page["items"].is_array())
            return fail(dir.filePath(u"search-" + QString::number(k + 1) + u".json") + u": not a search reply");
        for (const SimJson &item : page["items"])
            set.searchItemIds.append(item.value("id", qint64(0)));
    }
    for (int k = 0; k < set.details.size(); ++k) {
        const SimJson detail = SimJson::parse(set.details[k].toStdString(), nullptr, false);
        if (!detail.is_object() || !detail.contains("idDeclaration") || !detail["idDeclaration"].is_number())
            return fail(dir.filePath(u"detail-" + QString::number(k + 1) + u".json") + u": not a detail reply");
        set.detailIds.append(detail["idDeclaration"].get<qint64>());
    }
    return set;
}

int FixtureSet::detailIndex(qint64 id) const
{
    const qsizetype own = detailIds.indexOf(id);
    if (own >= 0)
        return int(own);
    const qsizetype item = searchItemIds.indexOf(id);
    return item >= 0 && item < details.size() ? int(item) : -1;
}
