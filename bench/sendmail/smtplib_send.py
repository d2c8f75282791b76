#!/usr/bin/python3
"""The ordinary alternative: Python's smtplib over one connection, the same merged mails.

smtplib_send.py PORT COUNT
"""
import resource
import smtplib
import sys
import time
from email.message import EmailMessage
from email.utils import formatdate, make_msgid

SUBJECT = '【ご案内】<%氏名%>様 第<%回%>回 製品説明会のお知らせ'
PARAGRAPH = ('新製品の特長と導入事例を担当者よりご説明いたします。'
             'ご多忙中とは存じますが、ぜひご参加くださいますようお願い申し上げます。\r\n')


def body_template(size):
    body = ('<%会社%>\r\n<%氏名%> 様\r\n\r\n'
            'いつも格別のお引き立てを賜り、誠にありがとうございます。\r\n'
            '第<%回%>回 製品説明会を下記のとおり開催いたします。\r\n\r\n')
    while len(body.encode()) < size:
        body += PARAGRAPH
    return body + '\r\n以上\r\n'


def merge(text, row):
    return (text.replace('<%氏名%>', '山田 太郎%d' % row)
            .replace('<%会社%>', '株式会社サンプル%d' % (row % 97))
            .replace('<%回%>', str(row % 12 + 1)))


def main():
    # An optional third argument sets the body's size in bytes (the send run's bench uses 3 KB).
    port, count = int(sys.argv[1]), int(sys.argv[2])
    body = body_template(int(sys.argv[3]) if len(sys.argv) > 3 else 1900)
    failures = 0
    start = time.monotonic()
    with smtplib.SMTP('127.0.0.1', port) as smtp:
        for row in range(1, count + 1):
            msg = EmailMessage()
            msg['From'] = '株式会社ベルモラ商事 営業部 <sales@example.com>'
            msg['To'] = 'user%d@example.com' % row
            msg['Subject'] = merge(SUBJECT, row)
            msg['Date'] = formatdate(localtime=True)
            msg['Message-ID'] = make_msgid(domain='example.com')
            msg.set_content(merge(body, row), charset='utf-8', cte='base64')
            try:
                smtp.send_message(msg)
            except smtplib.SMTPException as error:
                failures += 1
                if failures <= 3:
                    print('row %d: %s' % (row, error), file=sys.stderr)
    seconds = time.monotonic() - start
    usage = resource.getrusage(resource.RUSAGE_SELF)
    print('messages=%d failures=%d seconds=%.3f rate=%.1f cpu=%.3f maxrss_kb=%d'
          % (count, failures, seconds, count / seconds, usage.ru_utime + usage.ru_stime, usage.ru_maxrss))
    sys.exit(1 if failures else 0)


if __name__ == '__main__':
    main()
