"""Realistic template texts for the benchmarks, made the same on every run.

cyrillic(): about 1.4 MiB of Russian template text: Cyrillic words with ASCII
spaces, punctuation, HTML and {{ }} / {% %} tags, LF line endings.
cjk(): about 1 MiB of Chinese template text: CJK characters with CJK
punctuation and a few ASCII tags, CR LF line endings.
"""

from __future__ import annotations

import random

RUSSIAN = (
    "шаблон страница пользователь заказ товар корзина цена доставка оплата адрес город улица дом "
    "квартира телефон почта сообщение письмо ответ вопрос помощь поддержка каталог раздел новости статья "
    "автор дата время год месяц день неделя сегодня завтра вчера всегда никогда иногда часто редко "
    "большой маленький новый старый хороший плохой первый последний следующий предыдущий важный простой "
    "сложный быстрый медленный открыть закрыть сохранить удалить изменить добавить найти выбрать показать "
    "скрыть войти выйти зарегистрироваться подтвердить отменить отправить получить загрузить скачать "
    "настройки профиль пароль логин имя фамилия отчество компания организация договор счёт документ файл "
    "список таблица форма поле кнопка ссылка меню главная контакты о нас условия политика конфиденциальности "
    "и в на с по для от до из за под над при без через между около после перед который этот тот весь "
    "свой наш ваш его её их мы вы они он она оно быть мочь хотеть знать думать говорить видеть делать"
).split()

CHINESE = (
    "模板页面用户订单商品购物车价格配送支付地址城市街道电话邮件消息回复问题帮助支持目录分类新闻文章作者"
    "日期时间年月日星期今天明天昨天总是从不有时经常很少大小新旧好坏第一最后下一个上一个重要简单复杂快慢"
    "打开关闭保存删除修改添加查找选择显示隐藏登录退出注册确认取消发送接收上传下载设置资料密码名字公司组织"
    "合同账单文件列表表格按钮链接菜单首页联系我们条款隐私政策的了是在不和有人这中大为上个国我以要他时来用"
    "们生到作地于出就分对成会可主发年动同工也能下过子说产种面而方后多定行学法所民得经十三之进着等部度家电"
)
CJK_PUNCTUATION = ["，", "。", "、", "：", "；", "！", "？", "「", "」", "（", "）", "——"]


def cyrillic(size: int = 1_400_000, seed: int = 1) -> bytes:
    rng = random.Random(seed)
    lines, total = [], 0
    depth = 0
    while total < size:
        kind = rng.random()
        if kind < 0.08:
            line = "{% if " + rng.choice(["user", "order", "cart", "page"]) + "." + rng.choice(["active", "paid", "empty", "visible"]) + " %}"
            depth += 1
        elif kind < 0.16 and depth:
            line = "{% endif %}"
            depth -= 1
        else:
            words = [rng.choice(RUSSIAN) for _ in range(rng.randint(4, 12))]
            if rng.random() < 0.5:
                words.insert(rng.randrange(len(words)), "{{ " + rng.choice(["user.name", "order.total", "item.price", "page.title"]) + " }}")
            sentence = " ".join(words)
            sentence = sentence[0].upper() + sentence[1:] + rng.choice([".", ".", "!", "?", ":", ";"])
            if rng.random() < 0.3:
                sentence = sentence.replace(" ", ", ", 1)
            tag = rng.choice(["p", "li", "span", "td", "h2"])
            line = f"<{tag}>{sentence}</{tag}>"
        line = "  " * depth + line + "\n"
        lines.append(line)
        total += len(line.encode())
    return "".join(lines).encode()[:size].decode("utf-8", "ignore").encode()


def cjk(size: int = 1 << 20, seed: int = 2) -> bytes:
    rng = random.Random(seed)
    lines, total = [], 0
    while total < size:
        parts = []
        for _ in range(rng.randint(2, 5)):
            parts.append("".join(rng.choice(CHINESE) for _ in range(rng.randint(4, 14))))
            parts.append(rng.choice(CJK_PUNCTUATION))
        if rng.random() < 0.2:
            parts.insert(rng.randrange(len(parts)), "{{ " + rng.choice(["user.name", "order.total", "item.price"]) + " }}")
        line = "".join(parts) + "\r\n"
        lines.append(line)
        total += len(line.encode())
    text = "".join(lines).encode()[:size]
    return text.decode("utf-8", "ignore").encode()


if __name__ == "__main__":
    for name, data in [("cyrillic", cyrillic()), ("cjk", cjk())]:
        ascii_share = sum(b < 0x80 for b in data) / len(data)
        lines = data.count(b"\n")
        print(f"{name}: {len(data)} bytes, {ascii_share:.0%} ASCII bytes, {lines} lines")
        print(data[:300].decode())
