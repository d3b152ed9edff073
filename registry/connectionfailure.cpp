#include "connectionfailure.h"

#include <curl/curl.h>

QString connectionFailureSentence(int curlCode, const QString &host)
{
    const auto say = [&host](const char *text) { return QString::fromUtf8(text).arg(host); };
    switch (static_cast<CURLcode>(curlCode)) {
    case CURLE_OK:
        return {};
    case CURLE_UNSUPPORTED_PROTOCOL:
    case CURLE_URL_MALFORMAT:
        return say("Адрес реестра %1 записан неверно (settings.ini, раздел [Network])");
    case CURLE_COULDNT_RESOLVE_PROXY:
        return say("Не найден прокси-сервер, указанный в settings.ini, по пути к реестру %1");
    case CURLE_COULDNT_RESOLVE_HOST:
        return say("Не удалось найти сервер реестра %1 по имени: нет подключения к интернету или не работает DNS");
    case CURLE_COULDNT_CONNECT:
        return say("Не удалось подключиться к реестру %1");
    case CURLE_OPERATION_TIMEDOUT:
        return say("Реестр %1 не ответил вовремя");
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CERTPROBLEM:
        return say("Не удалось установить защищённое соединение с реестром %1");
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
        return say("Сертификат реестра %1 не прошёл проверку");
    case CURLE_GOT_NOTHING:
    case CURLE_RECV_ERROR:
        return say("Реестр %1 закрыл соединение, не ответив");
    case CURLE_SEND_ERROR:
        return say("Соединение с реестром %1 оборвалось при отправке запроса");
    case CURLE_PARTIAL_FILE:
        return say("Ответ реестра %1 пришёл не полностью");
    case CURLE_TOO_MANY_REDIRECTS:
        return say("Реестр %1 перенаправляет запрос слишком много раз");
    case CURLE_OUT_OF_MEMORY:
        return say("Не хватило памяти для ответа реестра %1");
    case CURLE_ABORTED_BY_CALLBACK:
        return say("Запрос к реестру %1 прерван");
    default:
        return say("Не удалось подключиться к реестру %1");
    }
}
