"""A freight firm's database for the question bench: depots, drivers, clients,
shipments and their items.

A third domain beside the shop and the clinic, with a label column that is
not called "name" (company, full_name, depot_name), two date columns along a
join (a driver's hire date, a shipment's date) and a charge that is weight
times rate, so that nothing tuned to the other two schemas carries over by
accident.
"""
from __future__ import annotations
import datetime as _dt, random
from decimal import Decimal

from quorvane_ask.sample_shop import unique_name

TABLES = ("depots", "drivers", "clients", "shipments", "shipment_items")
SCHEMA = """
CREATE TABLE depots (
  depot_id INT PRIMARY KEY, depot_name VARCHAR(80) NOT NULL, city VARCHAR(60) NOT NULL,
  opened_on DATE NOT NULL) ENGINE=InnoDB;
CREATE TABLE drivers (
  driver_id INT PRIMARY KEY, full_name VARCHAR(100) NOT NULL, depot_id INT NOT NULL,
  hired_on DATE NOT NULL, licence_class VARCHAR(10) NOT NULL,
  FOREIGN KEY (depot_id) REFERENCES depots(depot_id)) ENGINE=InnoDB;
CREATE TABLE clients (
  client_id INT PRIMARY KEY, company VARCHAR(100) NOT NULL, city VARCHAR(60) NOT NULL,
  country VARCHAR(60) NOT NULL) ENGINE=InnoDB;
CREATE TABLE shipments (
  shipment_id INT PRIMARY KEY, client_id INT NOT NULL, driver_id INT NOT NULL,
  shipped_on DATE NOT NULL, status VARCHAR(20) NOT NULL, destination VARCHAR(60) NOT NULL,
  FOREIGN KEY (client_id) REFERENCES clients(client_id),
  FOREIGN KEY (driver_id) REFERENCES drivers(driver_id)) ENGINE=InnoDB;
CREATE TABLE shipment_items (
  item_id INT PRIMARY KEY, shipment_id INT NOT NULL, cargo VARCHAR(60) NOT NULL,
  weight_kg DECIMAL(10,2) NOT NULL, rate_per_kg DECIMAL(8,2) NOT NULL,
  FOREIGN KEY (shipment_id) REFERENCES shipments(shipment_id)) ENGINE=InnoDB;
"""
DEPOTS = [(1, "North Hub", "Leeds", _dt.date(2015, 3, 1)), (2, "Harbour Yard", "Bristol", _dt.date(2017, 6, 15)),
          (3, "Midlands Cross", "Birmingham", _dt.date(2019, 9, 2)), (4, "Thames Gate", "London", _dt.date(2021, 1, 11)),
          (5, "Clyde Point", "Glasgow", _dt.date(2022, 5, 20))]
FIRST = ("Oliver", "Amelia", "Harry", "Isla", "Jack", "Ava", "George", "Mia", "Noah", "Freya",
         "Leo", "Ruby", "Arthur", "Ivy", "Oscar", "Grace", "Theo", "Lily")
LAST = ("Patel", "Walsh", "Hughes", "O'Brien", "Khan", "Murray", "Fletcher", "Baxter", "Doyle",
        "Pearson", "Quinn", "Lloyd")
COMPANIES = ("Acme Tools", "Brightwater Foods", "Castle Paints", "Delta Textiles", "Evergreen Nursery",
             "Foxglove Pharma", "Granite Works", "Halcyon Audio", "Ironbridge Steel", "Juniper Books",
             "Kestrel Bikes", "Lumen Lighting", "Meridian Wines", "Northwind Traders", "Orchard Cider",
             "Pinnacle Sports", "Quarry Stone", "Riverside Dairy", "Saffron Spices", "Tidewell Marine",
             "Umbra Furniture", "Vantage Glass", "Willow Crafts", "Yardley Cosmetics", "Zephyr Fans")
PLACES = (("Manchester", "United Kingdom"), ("Cardiff", "United Kingdom"), ("Dublin", "Ireland"),
          ("Cork", "Ireland"), ("Rotterdam", "Netherlands"), ("Antwerp", "Belgium"),
          ("Lille", "France"), ("Edinburgh", "United Kingdom"))
DESTS = ("Liverpool", "Newcastle", "Belfast", "Southampton", "Norwich", "Aberdeen", "Plymouth",
         "Cambridge", "York", "Swansea")
CARGO = ("pallets of paper", "machine parts", "frozen goods", "furniture", "electronics",
         "building materials", "textiles", "wine cases", "medical supplies")
STATUSES = ("delivered",) * 5 + ("in transit",) * 2 + ("delayed", "awaiting pickup", "lost")

def generate(seed=2718):
    rng = random.Random(seed)
    drivers, used = [], set()
    for i in range(1, 31):
        n = unique_name(rng, FIRST, LAST, used)
        d = rng.choice(DEPOTS)
        hired = d[3] + _dt.timedelta(days=rng.randint(0, 1200))
        drivers.append((i, n, d[0], hired, rng.choice(("B", "C", "C", "C+E", "C+E"))))
    clients = []
    for i, c in enumerate(COMPANIES, 1):
        city, country = rng.choice(PLACES)
        clients.append((i, c, city, country))
    # The last three clients never ship anything.
    active = clients[:-3]
    shipments, items = [], []
    item_id = 0
    for sid in range(1, 161):
        drv = rng.choice(drivers)
        first = max(drv[3], _dt.date(2023, 1, 1))
        day = first + _dt.timedelta(days=rng.randint(0, max(0, (_dt.date(2024, 12, 31) - first).days)))
        shipments.append((sid, rng.choice(active)[0], drv[0], day, rng.choice(STATUSES), rng.choice(DESTS)))
        for _ in range(rng.randint(1, 3)):
            item_id += 1
            items.append((item_id, sid, rng.choice(CARGO), Decimal(f"{rng.uniform(20, 900):.2f}"),
                          Decimal(f"{rng.uniform(0.4, 3.5):.2f}")))
    return {"depots": DEPOTS, "drivers": drivers, "clients": clients, "shipments": shipments,
            "shipment_items": items}

def load_freight(server, database="freight", user="freight", password="freight-pw"):
    from quorvane_ask.sample_shop import load_database
    rows = generate()
    return load_database(server, database, user, password, SCHEMA, {t: rows[t] for t in TABLES})
