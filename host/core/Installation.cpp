#include "Installation.h"

#include <QFileInfo>
#include <QStringList>
#include <QUrl>
#include <QUrlQuery>

#include "Database.h"

namespace cvhost {
namespace {

void execute(cv::Connection& connection, const QString& sql) {
    cv::Command command(&connection);
    command.setCommandText(sql);
    command.execute();
}

struct SampleDept {
    const char* id;
    const char* name;
};

struct SamplePerson {
    const char* id;
    const char* name;
    const char* sex;
    const char* login;
    const char* dept;  // nullptr: NULL
    const char* memo;  // nullptr: NULL
};

const SampleDept kDeptsA[] = {
    {"0001", "总经理办公室"},   {"00010001", "行政科"},         {"00010002", "秘书科"},
    {"0002", "技术部"},         {"00020001", "研发中心"},       {"000200010001", "软件组"},
    {"000200010002", "硬件组"}, {"00020002", "测试中心"},       {"0003", "财务部"},
    {"00030001", "会计科"},     {"00030002", "出纳科"},         {"0004", "市场部"},
    {"00040001", "华东区"},     {"000400010001", "上海办事处"}, {"00040002", "华南区"},
};

const SamplePerson kPeopleA[] = {
    {"111111111111111111", "系统管理员", "男", "admin", "", nullptr},
    {"222222222222222222", "服务账号", "男", "service", "", nullptr},
    {"310101198001010011", "王建国", "男", "wangjg", "0001", "总经理"},
    {"310101198203150022", "李秀英", "女", "lixy", "00010001", nullptr},
    {"310101198507200033", "张伟", "男", "zhangwei", "00010001", "行政主管"},
    {"310101199001010044", "刘芳", "女", "liufang", "00010002", ""},
    {"310101198811110055", "陈静", "女", "chenjing", "00010002", nullptr},
    {"310101197912120066", "杨洋", "男", "yangyang", "0002", "技术总监"},
    {"310101199203030077", "赵磊", "男", "zhaolei", "00020001", nullptr},
    {"310101199304040088", "黄敏", "女", "huangmin", "00020001", nullptr},
    {"310101199405050099", "周杰", "男", "zhoujie", "000200010001", "后端"},
    {"310101199506060100", "吴霞", "女", "wuxia", "000200010001", "前端"},
    {"310101199607070111", "徐强", " 男 ", "xuqiang", "000200010001", nullptr},
    {"310101199708080122", "孙丽", "女", "sunli", "000200010002", nullptr},
    {"310101199809090133", "马超", "男", "machao", "000200010002", nullptr},
    {"310101198910100144", "朱红", "女", "zhuhong", "00020002", "测试组长"},
    {"310101199111110155", "胡斌", "男", "hubin", "00020002", nullptr},
    {"310101198312120166", "郭婷", "女", "guoting", "0003", "财务经理"},
    {"310101198401130177", "何平", "男", "heping", "00030001", nullptr},
    {"310101198502140188", "高燕", "女", "gaoyan", "00030001", nullptr},
    {"310101198603150199", "林涛", "男", "lintao", "00030002", nullptr},
    {"310101198704160200", "罗娟", "女", "luojuan", "00030002", nullptr},
    {"310101198805170211", "郑刚", "男", "zhenggang", "0004", "市场总监"},
    {"310101198906180222", "梁艳", "女", "liangyan", "00040001", nullptr},
    {"310101199007190233", "宋波", "男", "songbo", "000400010001", nullptr},
    {"310101199108200244", "谢琳", "女", "xielin", "000400010001", "驻沪代表"},
    {"310101199209210255", "韩冰", "女", "hanbing", "00040002", nullptr},
    {"310101199310220266", "唐明", "男", "tangming", "00040002", nullptr},
    {"310101199411230277", "冯雪", "女", "fengxue", "", "实习生"},
    {"310101199512240288", "董鹏", "男", "dongpeng", "", nullptr},
    {"310101199601250299", "萧然", "F", "xiaoran", nullptr, "待分配"},
    {"310101199702260300", "程亮", "男", "chengliang", "0099", "原部门已撤销"},
    {"310101199803270311", "曹雨", "女", "o'brien", "00020001", "外籍顾问"},
    {"310101199904280322", "袁野", "男", "yuanye", "00010001", nullptr},
};

// B has its own codes; 技术部/研发中心 exist under other codes, 市场部 does not exist.
const SampleDept kDeptsB[] = {
    {"0001", "技术部"},     {"00010001", "研发中心"}, {"000100010001", "软件组"},
    {"0002", "人力资源部"}, {"00020001", "招聘科"},   {"0003", "总经理办公室"},
};

const SamplePerson kPeopleB[] = {
    {"111111111111111111", "系统管理员", "男", "admin", "", nullptr},
    {"320101198001010011", "钱进", "男", "qianjin", "0001", nullptr},
    {"320101198102020022", "潘玉", "女", "panyu", "00010001", nullptr},
    {"320101198203030033", "蒋涛", "男", "zhoujie", "000100010001", "与他处登录名相同"},
    {"320101198304040044", "沈慧", "女", "shenhui", "00020001", nullptr},
    {"310101199203030077", "赵磊", "男", "zhaolei", "00010001", "两处都有此人"},
    {"320101198405050055", "韦东", "男", "weidong", "0003", nullptr},
};

QString literal(const char* value) {
    return value ? cv::sqlQuote(QString::fromUtf8(value)) : QStringLiteral("NULL");
}

template <typename D, std::size_t ND, typename P, std::size_t NP>
void insertAll(cv::Connection& connection, const D (&depts)[ND], const P (&people)[NP]) {
    for (const SampleDept& d : depts)
        execute(connection, "INSERT INTO CV_DeptInfo(DeptID, DeptName, DeptMemo) VALUES(" +
                                literal(d.id) + ", " + literal(d.name) + ", '')");
    for (const SamplePerson& p : people) {
        const QString login = QString::fromUtf8(p.login);
        execute(connection,
                "INSERT INTO CV_PersonInfo(PerUUID, PerName, PerSex, PerMemo, LoginName, "
                "UPassword, PerDept, PrjID) VALUES(" +
                    literal(p.id) + ", " + literal(p.name) + ", " + literal(p.sex) + ", " +
                    literal(p.memo) + ", " + cv::sqlQuote(login) + ", " +
                    cv::sqlQuote(login + "@123") + ", " + literal(p.dept) + ", 0)");
    }
}

}  // namespace

std::unique_ptr<cv::Connection> openStore(const QString& target) {
    auto connection = cv::Connection::open(target);
    if (connection->dialect() == cv::Dialect::SQLite) {
        // Reading the schema reads the file's header: a file that is not a database is
        // refused here, before anything could be written to it.
        cv::Query tables(connection.get());
        tables.setCommandText(
            QStringLiteral("SELECT lower(name) AS name FROM sqlite_master WHERE type = 'table'"));
        tables.open();
        bool any = false;
        bool personnel = false;
        for (; !tables.eof(); tables.next()) {
            any = true;
            const QString name = tables.fieldText(QStringLiteral("name"));
            personnel = personnel || name == "cv_personinfo" || name == "cv_deptinfo";
        }
        if (any && !personnel)
            throw cv::DbError("not a personnel store: no CV_PersonInfo or CV_DeptInfo table");
        execute(*connection, "PRAGMA journal_mode=WAL");
        execute(*connection, "PRAGMA synchronous=NORMAL");
    }
    return connection;
}

QString storeFileProblem(const QString& store) {
    if (store.isEmpty()) return QString::fromUtf8("没有给出数据库");
    if (store.startsWith(QLatin1String("postgresql:")) ||
        store.startsWith(QLatin1String("postgres:")))
        return {};
    const QFileInfo file(store);
    if (!file.exists()) return QString::fromUtf8("数据库文件不存在");
    if (file.isDir()) return QString::fromUtf8("这是一个文件夹, 不是数据库文件");
    if (!file.isFile()) return QString::fromUtf8("这不是普通文件, 不能作为数据库");
    if (file.size() == 0) return QString::fromUtf8("这个文件是空的 (0 字节), 不是人员库");
    return {};
}

QString plainDatabaseError(const QString& engineText) {
    // The engines' words, most telling first.
    static const struct {
        const char* words;
        const char* plain;
    } known[] = {
        {"password authentication failed", "用户名或密码不对"},
        {"no password supplied", "数据库服务器要求密码, 但没有给出密码"},
        {"not a personnel store", "这个 SQLite 数据库属于别的程序: 没有人员表"},
        {"file is not a database", "这个文件不是 SQLite 数据库"},
        {"file is encrypted", "这个文件不是 SQLite 数据库"},
        {"database disk image is malformed", "数据库文件已损坏"},
        {"unable to open database file", "无法打开数据库文件 (文件夹不存在或没有权限)"},
        {"could not translate host name", "找不到数据库服务器 (主机名不对)"},
        {"Connection refused", "连不上数据库服务器 (地址或端口不对, 或服务器没有运行)"},
        {"timeout expired", "连接数据库服务器超时"},
        {"too many clients", "数据库服务器的连接数已满"},
        {"remaining connection slots are reserved", "数据库服务器的连接数已满"},
        {"server closed the connection unexpectedly", "数据库服务器断开了连接"},
        {"no connection to the server", "与数据库服务器的连接已断开"},
        {"database is locked", "数据库正被别的程序锁住"},
        {"attempt to write a readonly database", "数据库是只读的"},
        {"read-only", "数据库是只读的"},
        {"disk I/O error", "读写数据库文件出错 (磁盘错误)"},
        {"database or disk is full", "磁盘已满"},
        {"No space left on device", "磁盘已满"},
        {"permission denied", "没有权限"},
        {"no such table", "缺少人员表 (CV_PersonInfo 或 CV_DeptInfo)"},
        {"does not exist", "服务器上没有这个数据库、用户或表"},
    };
    for (const auto& entry : known)
        if (engineText.contains(QLatin1String(entry.words), Qt::CaseInsensitive))
            return QString::fromUtf8(entry.plain) + QString::fromUtf8("。数据库的原话: ") +
                   engineText.trimmed();
    return QString::fromUtf8("数据库报告了错误。数据库的原话: ") + engineText.trimmed();
}

bool passwordRefused(const QString& engineText) {
    return engineText.contains(QLatin1String("password authentication failed")) ||
           engineText.contains(QLatin1String("no password supplied"));
}

QString makeServerStore(const QString& serverUrl, const QString& schema) {
    dropServerStore(serverUrl, schema);
    execute(*cv::Connection::open(serverUrl), "CREATE SCHEMA " + schema);
    QUrl url(serverUrl);
    QUrlQuery query(url);
    query.addQueryItem("options", "-c search_path=" + schema);
    url.setQuery(query);
    return url.toString(QUrl::FullyEncoded);
}

void dropServerStore(const QString& serverUrl, const QString& schema) {
    auto server = cv::Connection::open(serverUrl);
    // A session still using the schema must not hold the drop up for long.
    for (const QString& sql : {QStringLiteral("SET lock_timeout = '5s'"),
                               QStringLiteral("SET client_min_messages = warning"),
                               "DROP SCHEMA IF EXISTS " + schema + " CASCADE"})
        execute(*server, sql);
}

void createSchema(cv::Connection& connection) {
    const QStringList statements = {
        "CREATE TABLE IF NOT EXISTS CV_DeptInfo (DeptID varchar(60) PRIMARY KEY, "
        "DeptName varchar(100), DeptMemo varchar(200))",
        "CREATE INDEX IF NOT EXISTS CV_DeptInfo_DeptName ON CV_DeptInfo(DeptName)",
        "CREATE TABLE IF NOT EXISTS CV_PersonInfo (PerUUID varchar(50) PRIMARY KEY, "
        "PerName varchar(50), PerSex varchar(10), PerMemo varchar(200), "
        "LoginName varchar(50), UPassword varchar(50), PerDept varchar(60), PrjID integer)",
        "CREATE INDEX IF NOT EXISTS CV_PersonInfo_LoginName ON CV_PersonInfo(LoginName)",
        "CREATE INDEX IF NOT EXISTS CV_PersonInfo_PerDept ON CV_PersonInfo(PerDept)",
    };
    for (const QString& sql : statements) execute(connection, sql);
}

void insertSample(cv::Connection& connection, Sample sample) {
    if (sample == Sample::A) insertAll(connection, kDeptsA, kPeopleA);
    if (sample == Sample::B) insertAll(connection, kDeptsB, kPeopleB);
}

}  // namespace cvhost
