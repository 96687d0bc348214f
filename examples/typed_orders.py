"""Typed results: mypy checks what code reads from a validated order.

Generate the types first:  python -m vorn_schema typeddict examples/shop.vorn -o shop_types.py
"""

from pathlib import Path

from vorn_schema import Schema, TypedValidator

from shop_types import Order, PaymentEvent

SHOP = Schema.load(Path(__file__).with_name("shop.vorn"))
orders = TypedValidator[Order](SHOP.validator("Order"))
payments = TypedValidator[PaymentEvent](SHOP.validator("PaymentEvent"))


def order_total_cents(body: bytes) -> int:
    order = orders(body)
    total = 0
    for item in order["items"]:
        price = item["unit_price_cents"] * item["quantity"]
        total += price * (100 - item.get("discount_percent", 0)) // 100
    return total


def describe_payment(body: bytes) -> str:
    event = payments(body)
    if event["type"] == "card":
        return f"card ending {event['card_last4']}"
    if event["type"] == "bank_transfer":
        return f"transfer from {event['iban']}"
    return f"refund: {event.get('reason') or 'no reason given'}"


if __name__ == "__main__":
    here = Path(__file__).parent
    print(order_total_cents((here / "order.json").read_bytes()))
