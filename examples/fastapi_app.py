"""An order API whose request bodies a vorn validator checks, with the exported JSON Schema
published in the OpenAPI document.

    pip install fastapi uvicorn
    uvicorn fastapi_app:app --app-dir examples

FastAPI reads no body model here: the endpoint takes the raw bytes, so the body is parsed
and validated once, by the validator, on the JSON road.
"""

import json
from pathlib import Path
from typing import Any

from fastapi import FastAPI, Request
from fastapi.openapi.utils import get_openapi
from fastapi.responses import JSONResponse

from vorn_schema import ParseError, Schema, ValidationError, json_default, to_json_schema

SHOP = Schema.load(Path(__file__).with_name("shop.vorn"))
ORDERS = SHOP.validator("Order")
PAYMENTS = SHOP.validator("PaymentEvent")

app = FastAPI(title="Shop", version="1.0")


def components(schema: Schema) -> dict[str, Any]:
    """The schema's types as OpenAPI components: the export's $defs, with references
    pointing into components instead."""
    text = json.dumps(to_json_schema(schema)["$defs"])
    return json.loads(text.replace('"#/$defs/', '"#/components/schemas/'))


def body(type_name: str) -> dict[str, Any]:
    ref = {"$ref": f"#/components/schemas/{type_name}"}
    return {"requestBody": {"required": True, "content": {"application/json": {"schema": ref}}}}


def respond(result: dict[str, Any], status_code: int = 201) -> JSONResponse:
    # Results hold date and datetime objects; json_default writes them as ISO 8601.
    return JSONResponse(json.loads(json.dumps(result, default=json_default)), status_code)


@app.exception_handler(ValidationError)
async def rejected(request: Request, exc: ValidationError) -> JSONResponse:
    return JSONResponse({"detail": exc.errors()}, status_code=422)


@app.exception_handler(ParseError)
async def malformed(request: Request, exc: ParseError) -> JSONResponse:
    return JSONResponse({"detail": f"malformed JSON at {exc}"}, status_code=400)


@app.post("/orders", openapi_extra=body("Order"))
async def create_order(request: Request) -> JSONResponse:
    order = ORDERS(await request.body())
    return respond({"accepted": order["id"], "order": order})


@app.post("/payments", openapi_extra=body("PaymentEvent"))
async def record_payment(request: Request) -> JSONResponse:
    event = PAYMENTS(await request.body())
    return respond({"type": event["type"], "amount_cents": event["amount_cents"]})


def openapi() -> dict[str, Any]:
    if app.openapi_schema is None:
        document = get_openapi(title=app.title, version=app.version, routes=app.routes)
        document.setdefault("components", {}).setdefault("schemas", {}).update(components(SHOP))
        app.openapi_schema = document
    return app.openapi_schema


app.openapi = openapi  # type: ignore[method-assign]
