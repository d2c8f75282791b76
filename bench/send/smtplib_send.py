#!/usr/bin/python3
"""Python's smtplib over one connection, sending COUNT merged mails with the send run's 3 KB body.

smtplib_send.py PORT COUNT
"""
import smtplib
import sys
import time
from email.message import EmailMessage
from email.utils import formatdate, make_msgid

SUBJECT = '【ご案内】<%氏名%>様 第<%回%>回 製品説明会のお知らせ'
PARAGRAPH = ('新製品の特長と導入事例を担当者よりご説明いたします。'
             'ご多忙中とは存じますが、ぜひご参加くださいますようお願い申し上げます。\r\n')


def body_template():
    body = ('<%会社%>\r\n<%氏名%> 様\r\n\r\n'
            'いつも格別のお引き立てを賜り、誠にありがとうございます。\r\n'
            '第<%回%>回 製品説明会を下記のとおり開催いたします。\r\n\r\n')
    while len(body.encode()) < 3000:
        body += PARAGRAPH
    return body + '\r\n以上\r\n'


def merge(text, row):
    return (text.replace('<%氏名%>', '山田 太郎%d' % row)
            .replace('<%会社%>', '株式会社サンプル%d' % (row % 97))
            .replace('<%回%>', str(row % 12 + 1)))


def main():
    port, count = int(sys.argv[1]), int(sys.argv[2])
    body = body_template()
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
            smtp.send_message(msg)
    seconds = time.monotonic() - start
    print('rate=%.1f' % (count / seconds))


if __name__ == '__main__':
    main()
