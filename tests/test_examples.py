"""The FastAPI example: request bodies checked by a validator, documented by the export."""

import json
import pathlib
import sys

import pytest


# The test client warns about its own transport; not ours to fix.
pytestmark = pytest.mark.filterwarnings("ignore:Using `httpx` with `starlette.testclient`")

EXAMPLES = pathlib.Path(__file__).parent.parent / "examples"


@pytest.fixture(scope="module")
def client():
    pytest.importorskip("fastapi")
    pytest.importorskip("httpx")
    from fastapi.testclient import TestClient

    sys.path.insert(0, str(EXAMPLES))
    try:
        import fastapi_app
    finally:
        sys.path.remove(str(EXAMPLES))
    return TestClient(fastapi_app.app)


ORDER = (EXAMPLES / "order.json").read_bytes()


@pytest.mark.parametrize("body, content_type, status", [
    (ORDER, None, 201),
    (ORDER, "application/json; charset=utf-8", 201),
    (ORDER, "application/merge-patch+json", 201),
    (ORDER, "application/xml", 415),
    (ORDER, "text/plain", 415),
    ((EXAMPLES / "order_invalid.json").read_bytes(), None, 422),
    (b'{"id": 1', "application/json", 400),
])
def test_fastapi_answers_order_bodies(client, body, content_type, status):
    headers = {"content-type": content_type} if content_type else {}
    answer = client.post("/orders", content=body, headers=headers)
    assert answer.status_code == status
    if status == 201:
        assert answer.json()["order"]["created_at"] == "2024-05-01T10:15:00+00:00"
    if status == 422:
        detail = answer.json()["detail"]
        assert detail[0] == {"path": "customer_id", "code": "invalid_format",
                             "message": "not a valid uuid"}
        assert [d["code"] for d in detail][-1] == "unknown_field"


def test_fastapi_openapi_documents_the_exported_bodies(client):
    document = client.get("/openapi.json").json()
    post = document["paths"]["/payments"]["post"]
    body = post["requestBody"]["content"]["application/json"]
    assert body["schema"] == {"$ref": "#/components/schemas/PaymentEvent"}
    answers = {code: r["content"]["application/json"]["schema"]
               for code, r in post["responses"].items()}
    assert sorted(answers) == ["201", "400", "415", "422"]
    assert answers["422"] == {"$ref": "#/components/schemas/ValidationErrors"}
    schemas = document["components"]["schemas"]
    assert schemas["ValidationErrors"]["properties"]["detail"]["items"]["required"] == [
        "path", "code", "message"]
    assert schemas["Order"]["properties"]["shipping"] == {"$ref": "#/components/schemas/Address"}
    assert schemas["PaymentEvent"]["discriminator"] == {"propertyName": "type", "mapping": {
        tag: f"#/components/schemas/PaymentEvent/allOf/{i}/then"
        for i, tag in enumerate(("card", "bank_transfer", "refund"))}}
    assert "#/$defs/" not in json.dumps(document)
