"""A consulting firm's database for the question bench: departments,
employees, clients, projects and timesheets (hours times an hourly rate).

A fourth domain, with two-word status values ("on hold"), job titles as
values, label columns named for the domain (full_name, title, dept_name,
company) and rows with no match in another table.
"""
from __future__ import annotations

import datetime as _dt
import random
from decimal import Decimal

from quorvane_ask.sample_shop import unique_name

TABLES = ("departments", "employees", "clients", "projects", "timesheets")
SCHEMA = """
CREATE TABLE departments (
  dept_id INT PRIMARY KEY, dept_name VARCHAR(80) NOT NULL, location VARCHAR(60) NOT NULL) ENGINE=InnoDB;
CREATE TABLE employees (
  emp_id INT PRIMARY KEY, full_name VARCHAR(100) NOT NULL, dept_id INT NOT NULL,
  job_title VARCHAR(60) NOT NULL, salary DECIMAL(10,2) NOT NULL, hire_date DATE NOT NULL,
  FOREIGN KEY (dept_id) REFERENCES departments(dept_id)) ENGINE=InnoDB;
CREATE TABLE clients (
  client_id INT PRIMARY KEY, company VARCHAR(100) NOT NULL, industry VARCHAR(40) NOT NULL,
  country VARCHAR(60) NOT NULL) ENGINE=InnoDB;
CREATE TABLE projects (
  project_id INT PRIMARY KEY, title VARCHAR(100) NOT NULL, client_id INT NOT NULL, dept_id INT NOT NULL,
  budget DECIMAL(12,2) NOT NULL, start_date DATE NOT NULL, end_date DATE NULL, status VARCHAR(20) NOT NULL,
  FOREIGN KEY (client_id) REFERENCES clients(client_id),
  FOREIGN KEY (dept_id) REFERENCES departments(dept_id)) ENGINE=InnoDB;
CREATE TABLE timesheets (
  entry_id INT PRIMARY KEY, project_id INT NOT NULL, emp_id INT NOT NULL, work_date DATE NOT NULL,
  hours DECIMAL(5,2) NOT NULL, hourly_rate DECIMAL(8,2) NOT NULL,
  FOREIGN KEY (project_id) REFERENCES projects(project_id),
  FOREIGN KEY (emp_id) REFERENCES employees(emp_id)) ENGINE=InnoDB;
"""
DEPTS = [(1, "Strategy", "Zurich"), (2, "Data Analytics", "Dublin"), (3, "Operations", "Oslo"),
         (4, "Technology", "Tallinn"), (5, "Legal Advisory", "Brussels"), (6, "Research Lab", "Porto")]
FIRST = ("Aisha", "Bruno", "Carmen", "Dmitri", "Esther", "Felix", "Gwen", "Hamid", "Irene", "Jakob",
         "Kira", "Luca", "Mona", "Nikolai", "Orla", "Piet", "Rhea", "Stefan", "Tove", "Viktor")
LAST = ("Achterberg", "Brennan", "Castell", "Dahl", "Eriksen", "Fontaine", "Gallo", "Hoffer",
        "Ivanova", "Juhl", "Keller", "Lund", "Marek", "Nyberg")
TITLES = ("Analyst",) * 3 + ("Consultant",) * 3 + ("Senior Consultant",) * 2 + ("Manager", "Partner")
BASE = {"Analyst": (42000, 58000), "Consultant": (55000, 75000), "Senior Consultant": (72000, 95000),
        "Manager": (90000, 120000), "Partner": (130000, 190000)}
COMPANIES = (("Arcadia Insurance", "Insurance", "Switzerland"), ("Bellwether Bank", "Banking", "Ireland"),
             ("Copperleaf Energy", "Energy", "Norway"), ("Driftwood Logistics", "Logistics", "Estonia"),
             ("Emberline Retail", "Retail", "Portugal"), ("Fjordview Shipping", "Logistics", "Norway"),
             ("Goldcrest Pharma", "Healthcare", "Switzerland"), ("Harrow Telecom", "Telecom", "Belgium"),
             ("Inkwell Publishing", "Media", "Ireland"), ("Jadestone Mining", "Energy", "Portugal"),
             ("Kelpie Foods", "Retail", "Ireland"), ("Lanternfish Games", "Media", "Estonia"))
TOPICS = ("Cost Review", "Cloud Migration", "Pricing Study", "Risk Audit", "CRM Rollout",
          "Supply Chain Redesign", "Data Warehouse", "Merger Due Diligence", "Workforce Planning",
          "Compliance Check", "Market Entry", "Process Automation")
STATUSES = ("completed",) * 4 + ("active",) * 3 + ("on hold", "cancelled")

def generate(seed=9117):
    rng = random.Random(seed)
    emps, used = [], set()
    for i in range(1, 46):
        n = unique_name(rng, FIRST, LAST, used)
        d = rng.choice(DEPTS[:5])          # Research Lab has nobody
        t = rng.choice(TITLES)
        lo, hi = BASE[t]
        emps.append((i, n, d[0], t, Decimal(rng.randrange(lo, hi, 500)),
                     _dt.date(2015, 1, 1) + _dt.timedelta(days=rng.randint(0, 3400))))
    clients = [(i, *c) for i, c in enumerate(COMPANIES, 1)]
    active_clients = clients[:-2]            # the last two never commissioned anything
    projects = []
    for pid in range(1, 41):
        c = rng.choice(active_clients)
        start = _dt.date(2022, 1, 1) + _dt.timedelta(days=rng.randint(0, 1000))
        st = rng.choice(STATUSES)
        end = start + _dt.timedelta(days=rng.randint(30, 300)) if st in ("completed", "cancelled") else None
        while True:
            title = f"{c[1].split()[0]} {rng.choice(TOPICS)}"
            if title not in {p[1] for p in projects}:
                break
        projects.append((pid, title, c[0], rng.choice(DEPTS[:5])[0],
                         Decimal(rng.randrange(20000, 400000, 1000)), start, end, st))
    ts, eid = [], 0
    busy = emps[:-6]                         # six employees never booked time
    for p in projects[:-4]:                  # four projects have no time booked
        for _ in range(rng.randint(3, 12)):
            e = rng.choice(busy)
            eid += 1
            rate = {"Analyst": 90, "Consultant": 130, "Senior Consultant": 170, "Manager": 220, "Partner": 320}[e[3]]
            ts.append((eid, p[0], e[0], p[5] + _dt.timedelta(days=rng.randint(0, 200)),
                       Decimal(rng.choice((2, 3.5, 4, 6, 7.5, 8))).quantize(Decimal("0.01")),
                       Decimal(rate + rng.choice((0, 0, 10, -10)))))
    return {"departments": DEPTS, "employees": emps, "clients": clients, "projects": projects, "timesheets": ts}

def load_firm(server, database="firm", user="firm", password="firm-pw"):
    from quorvane_ask.sample_shop import load_database
    rows = generate()
    return load_database(server, database, user, password, SCHEMA, {t: rows[t] for t in TABLES})
